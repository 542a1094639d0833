// The call frame that every callable of the module goes through: owning
// handles for Python references, the boundary that turns C++ failures into
// Python exceptions, binding of arguments to parameters, one converter per
// parameter kind, borrow flags, and the one call skeleton on which every
// callable is built. Implemented in frame.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/utf8.hpp"

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int, read directly by to_int
#endif

namespace sonvex {

// ---------------------------------------------------------------------------
// Owning handle: holds one strong reference and releases it on destruction.

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }  // adopts a new reference
    static Ref borrow(PyObject* p) {                   // takes a new reference
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }  // hands out the reference
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* new_ref(PyObject* p) {
    Py_INCREF(p);
    return p;
}

inline PyObject* none() { return new_ref(Py_None); }

// ---------------------------------------------------------------------------
// Internal failures: broken invariants inside the module. Thrown as C++
// exceptions and turned into PanicException at the boundary.

struct InternalFailure {
    std::string text;
    const char* file;
    int line;
};

[[noreturn]] void fail_internal(std::string text, const char* file = __builtin_FILE(),
                                int line = __builtin_LINE());

// Reports the failure on standard error and raises PanicException. Returns
// nullptr for convenience.
PyObject* raise_panic(const std::string& text, const char* file, int line);

// Converts whatever escaped a C++ body into the Python exception of the
// module's error model. Called inside a catch block.
void raise_from_current_exception();

// Runs `body` and converts any C++ exception; `failed` is what the slot
// returns on error (nullptr or -1).
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_from_current_exception();
        return failed;
    }
}

// The class PanicException, created on first use (borrowed; lives forever).
PyObject* panic_exception_type();

// Runs the Python handlers of signals that arrived, as the interpreter does
// after a blocking call that a signal interrupted. False with the exception
// set if a handler raised. Handlers run on the main thread only; elsewhere
// this does nothing.
bool run_signal_handlers();

// ---------------------------------------------------------------------------
// Names and common errors.

// __qualname__ (or another name attribute) of a type, or "<failed to extract
// type name>".
std::string type_name(PyTypeObject* type, const char* attribute = "__qualname__");

// Raises `type` with a message that may hold any bytes of UTF-8 (NUL
// included: nothing is cut short).
void raise_error(PyObject* type, std::string_view message);

// TypeError "'<class>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* value, std::string_view target);

// ---------------------------------------------------------------------------
// Layout checks, made before any field of an object is read.
//
// isinstance is not enough: on PyPy a Python class that derives from one of
// the module's classes but has a plain class first among its bases (class
// S(Plain, Command)), or that gets past the refusal of a class that may not
// be subclassed through a mixin whose __init_subclass__ does not chain up,
// gets objects of the header's size only. And PyPy's object.__new__ makes
// objects of the module's classes without running their constructor; each
// class tells those apart by a field of its own (`ready`, a member, a
// constant), which a caller checks after this one.

// Whether `o` is an instance of `type` (or of a subclass) whose class lays
// its objects out as `type` does: at least `type`'s basic size.
inline bool laid_out_as(PyObject* o, PyTypeObject* type) {
    PyTypeObject* const t = Py_TYPE(o);
    return t == type || ((t->tp_base == type || PyType_IsSubtype(t, type)) &&
                         t->tp_basicsize >= type->tp_basicsize);
}

// For slots and methods, which the interpreter may call with an object of
// another class: TypeError "descriptor '<slot>' requires a '<class>' object
// but received a '<other>'" unless `self` is laid out as an object of
// `type`. wrong_self raises that error alone, for an object of the right
// layout that no constructor of the module made.
bool check_self(PyObject* self, PyTypeObject* type, const char* slot);
bool wrong_self(PyObject* self, PyTypeObject* type, const char* slot);

// TypeError "<expected>.__new__(<type>): <type> is not a subtype of
// <expected>"; returns false.
bool refuse_class(PyTypeObject* type, PyTypeObject* expected);

// TypeError "No constructor defined for <class's __name__>".
PyObject* raise_no_constructor(PyTypeObject* type);

// ---------------------------------------------------------------------------
// Binding.

struct Signature {
    std::string_view owner;  // "Command." for a class member, empty for a module function
    std::string_view name;   // a NUL-terminated literal
    std::span<const std::string_view> params;
};

// Binds a vectorcall argument list to the parameters: `bound` receives one
// borrowed reference per parameter. On failure sets the TypeError with the
// exact binding message and returns false. A callable without parameters
// refuses arguments in the interpreter's own words.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Binds the tuple-and-dict argument form (constructors) the same way.
// `keep` receives strong references to the bound keyword values: the
// caller's dict may be changed by Python code that a conversion runs.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound,
                    Ref& keep);

// Called after a parameter's conversion failed: gives a TypeError the
// "argument '<name>': " prefix and turns a PanicException raised by Python
// code we invoked into an internal failure of our own. Returns false.
bool argument_failed(std::string_view param);

// The docstring that gives a callable its text signature:
// "name(a, b)\n--\n\n", "name($self, a, b)\n--\n\n" for instance methods.
// The text is kept for the life of the process.
const char* signature_doc(std::string_view name, std::span<const std::string_view> params,
                          bool with_self);
// The class docstring for a constructor's signature: "Class(a, b)\n--\n\n".
const char* constructor_doc(const Signature& sig);

// ---------------------------------------------------------------------------
// Converters, one per parameter kind. Each sets a Python error and returns
// false on failure; the frame then calls argument_failed.

// OverflowError "out of range integral type conversion attempted".
void raise_out_of_range();

// Integers of every width. Objects that are not ints go through __index__
// first, so that floats and objects with only __int__ are refused the same
// way on every interpreter. The interpreter's own conversion to the widest C
// type of T's family reports values beyond it; T's own range is checked
// here.
template <class T>
bool to_int(PyObject* o, T& out) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 8);
#if !defined(PYPY_VERSION)
    // An exact int of one digit or none, the usual argument, read directly.
    if (PyLong_CheckExact(o)) {
#if PY_VERSION_HEX >= 0x030C0000
        auto* number = reinterpret_cast<PyLongObject*>(o);
        if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
            if (std::in_range<T>(value)) {
                out = static_cast<T>(value);
                return true;
            }
        }
#else
        const Py_ssize_t size = Py_SIZE(o);
        if (size == 0 || size == 1) {
            const auto value = size ? reinterpret_cast<PyLongObject*>(o)->ob_digit[0] : 0u;
            if (std::in_range<T>(value)) {
                out = static_cast<T>(value);
                return true;
            }
        }
#endif
    }
#else
    // PyPy converts to Py_ssize_t at less than half the cost of the other
    // widths; values it cannot hold take the general path below, which also
    // gives the interpreter's own error for them.
    if (PyLong_CheckExact(o)) {
        const Py_ssize_t value = PyLong_AsSsize_t(o);
        if (!(value == -1 && PyErr_Occurred()) && std::in_range<T>(value)) {
            out = static_cast<T>(value);
            return true;
        }
        PyErr_Clear();
    }
#endif
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref::steal(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(o);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (!std::in_range<T>(value)) return raise_out_of_range(), false;
        out = static_cast<T>(value);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        const long long value = PyLong_AsLongLong(o);
        if (value == -1 && PyErr_Occurred()) return false;
        out = value;
    } else {
        const long value = PyLong_AsLong(o);
        if (value == -1 && PyErr_Occurred()) return false;
        if (!std::in_range<T>(value)) return raise_out_of_range(), false;
        out = static_cast<T>(value);
    }
    return true;
}

// True or False; objects that pass for numpy's boolean scalar convert
// through their __bool__.
bool to_bool_slow(PyObject* o, bool& out);
inline bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    return to_bool_slow(o, out);
}

// Borrows the UTF-8 form held by the str object; valid while `o` lives.
inline bool to_text(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_conversion_error(o, "PyString");
        return false;
    }
    // ASCII text is its own UTF-8 form. PyPy fills in the same header for
    // the str objects it hands to C.
#if defined(PYPY_VERSION) || PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_IS_READY(o) && PyUnicode_IS_COMPACT_ASCII(o)) {
#else
    if (PyUnicode_IS_COMPACT_ASCII(o)) {
#endif
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// ValueError "Line break in text argument: <param>".
void raise_line_break(std::string_view param);

// Text that must not break the protocol line: refuses CR and LF. `ascii`
// tells whether the text is all ASCII.
inline bool to_line_text(PyObject* o, std::string_view& out, std::string_view param, bool& ascii) {
    if (!to_text(o, out)) return false;
    const core::TextFacts facts = core::scan_text(out);
    if (facts.line_break) return raise_line_break(param), false;
    ascii = facts.ascii;
    return true;
}
inline bool to_line_text(PyObject* o, std::string_view& out, std::string_view param) {
    bool ascii;
    return to_line_text(o, out, param, ascii);
}

// An instance of `type` (or a subclass) laid out as `type`'s objects; the
// caller copies its value (and refuses an object that no constructor of the
// module made with the same conversion error).
inline bool to_instance(PyObject* o, PyTypeObject* type) {
    if (laid_out_as(o, type)) return true;
    raise_conversion_error(o, type_name(type));
    return false;
}

// A new str of `length` ASCII characters, which `fill` writes at the char*
// it is given: the cheapest way to make a str on every interpreter.
template <class Fill>
PyObject* new_ascii_str(std::size_t length, Fill&& fill) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text) fill(static_cast<char*>(PyUnicode_DATA(text)));
    return text;
}

// Parameter kinds as types, for callables with typed bodies: each names the
// C++ type of the converted value and how to convert it.
namespace kind {
template <class T>
struct Int {
    using type = T;
    static bool convert(PyObject* o, type& v, std::string_view) { return to_int(o, v); }
};
using U16 = Int<std::uint16_t>;
using U32 = Int<std::uint32_t>;
struct Text {
    using type = std::string_view;
    static bool convert(PyObject* o, type& v, std::string_view) { return to_text(o, v); }
};
struct LineText {
    using type = std::string_view;
    static bool convert(PyObject* o, type& v, std::string_view p) { return to_line_text(o, v, p); }
};
template <class K>
struct Optional {
    using type = std::optional<typename K::type>;
    static bool convert(PyObject* o, type& v, std::string_view p) {
        if (o == Py_None) {
            v.reset();
            return true;
        }
        typename K::type value{};
        if (!K::convert(o, value, p)) return false;
        v = value;
        return true;
    }
};
}  // namespace kind

// ---------------------------------------------------------------------------
// Borrow flags: shared use for calls that read an object, exclusive use for
// calls that change it. A conflict can only come from re-entry (Python code
// the module runs during a call calling back into the same object).

struct BorrowFlag {
    int state = 0;  // number of shared users, or -1 while used exclusively
};

// The two kinds of use: take (false with RuntimeError on conflict) and give
// back.
struct SharedUse {
    static bool take(BorrowFlag& flag);  // "Already mutably borrowed"
    static void give_back(BorrowFlag& flag) { --flag.state; }
};
struct ExclusiveUse {
    static bool take(BorrowFlag& flag);  // "Already borrowed"
    static void give_back(BorrowFlag& flag) { flag.state = 0; }
};

// A use of an object held for as long as the guard lives; empty (false) when
// it could not be taken, with the error set.
template <class T, class Use>
class Borrowed {
public:
    Borrowed() = default;
    explicit Borrowed(T* target) : target_(target) {}
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    ~Borrowed() {
        if (target_) Use::give_back(target_->borrow);
    }
    explicit operator bool() const { return target_ != nullptr; }
    T& operator*() const { return *target_; }

private:
    T* target_ = nullptr;
};

// What a callable does with its receiver before converting its arguments:
// acquire(self) returns a guard that is false on failure (error set) and
// whose operator* is what the body receives.
namespace receiver {
// Module functions and static methods: the receiver is not looked at.
struct None {
    static constexpr bool kWithSelf = false;
    struct Guard {
        PyObject* self;
        explicit operator bool() const { return true; }
        PyObject* operator*() const { return self; }
    };
    static Guard acquire(PyObject* self) { return Guard{self}; }
};
// Methods of T, which has a member `BorrowFlag borrow`, a member `bool
// ready` (set once its constructor ran) and a static `PyTypeObject* type()`.
template <class T, class Use>
struct Borrow {
    static constexpr bool kWithSelf = true;
    static Borrowed<T, Use> acquire(PyObject* self) {
        if (!check_self(self, T::type(), "method")) return {};
        T* target = reinterpret_cast<T*>(self);
        if (!target->ready) {  // made by PyPy's object.__new__
            wrong_self(self, T::type(), "method");
            return {};
        }
        if (!Use::take(target->borrow)) return {};
        return Borrowed<T, Use>(target);
    }
};
template <class T>
using Shared = Borrow<T, SharedUse>;
template <class T>
using Exclusive = Borrow<T, ExclusiveUse>;

// Constructors: which classes they instantiate. Not every interpreter checks
// the class handed to __new__ before calling tp_new.
struct AnyClass {
    static bool accept(PyTypeObject*) { return true; }
};
// Only T's own class (which cannot be subclassed): TypeError
// "<T>.__new__(<class>): <class> is not a subtype of <T>" otherwise.
template <class T>
struct ExactClass {
    static bool accept(PyTypeObject* type) { return type == T::type() || refuse_class(type, T::type()); }
};
}  // namespace receiver

// ---------------------------------------------------------------------------
// The call skeleton. A callable is its Signature, what it does with its
// receiver, and a body:
//
//   struct Body {
//       static PyObject* run(const Signature& sig, Target target,
//                            PyObject* const* bound);
//   };
//
// where `bound` holds one borrowed argument per parameter. The skeleton
// guards, binds, takes the receiver and runs the body; the body converts
// (strictly left to right, first failure wins) and does the work.

template <const Signature& Sig>
using BoundArguments = PyObject* [Sig.params.size() + 1];

// For METH_FASTCALL | METH_KEYWORDS.
template <const Signature& Sig, class Receiver, class Body>
PyObject* vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        // Every argument by position, the usual call: the arguments are
        // already in parameter order.
        PyObject* const* bound = args;
        BoundArguments<Sig> storage;
        if (kwnames || nargs != static_cast<Py_ssize_t>(Sig.params.size())) {
            if (!bind_arguments(Sig, args, nargs, kwnames, storage)) return nullptr;
            bound = storage;
        }
        auto target = Receiver::acquire(self);
        if (!target) return nullptr;
        return Body::run(Sig, *target, bound);
    });
}

// The twin for tp_new: the class is checked first; the body's target is the
// class being instantiated.
template <const Signature& Sig, class Class, class Body>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        if (!Class::accept(type)) return nullptr;
        BoundArguments<Sig> bound;
        Ref keep;
        if (!bind_arguments(Sig, args, kwargs, bound, keep)) return nullptr;
        return Body::run(Sig, type, bound);
    });
}

// A body that converts each argument by its kind and calls
//   PyObject* Fn(Target target, typename Kinds::type... values);
template <auto Fn, class... Kinds>
struct Typed {
    template <class Target>
    static PyObject* run(const Signature& sig, Target&& target, PyObject* const* bound) {
        return run(sig, std::forward<Target>(target), bound, std::index_sequence_for<Kinds...>{});
    }

private:
    template <class Target, std::size_t... I>
    static PyObject* run(const Signature& sig, Target&& target, PyObject* const* bound,
                         std::index_sequence<I...>) {
        std::tuple<typename Kinds::type...> values;
        bool ok = true;
        ((ok = ok && (Kinds::convert(bound[I], std::get<I>(values), sig.params[I]) ||
                      argument_failed(sig.params[I]))),
         ...);
        if (!ok) return nullptr;
        return Fn(std::forward<Target>(target), std::get<I>(values)...);
    }
};

#define SONVEX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The method-table entry of a callable; its docstring comes from the
// signature.
template <const Signature& Sig, class Receiver, class Body>
PyMethodDef method_def(int flags = 0) {
    return {Sig.name.data(), SONVEX_FASTCALL((vectorcall<Sig, Receiver, Body>)),
            METH_FASTCALL | METH_KEYWORDS | flags,
            signature_doc(Sig.name, Sig.params, Receiver::kWithSelf)};
}

// ---------------------------------------------------------------------------
// Class helpers shared by all classes of the module.

// A class object created on first use and kept for the life of the process.
class LazyClass {
public:
    // The class (borrowed), creating it with `create` on first use; nullptr
    // with the error set if that fails (the next call tries again).
    template <class Create>
    PyTypeObject* get(Create&& create) {
        if (!type_) type_ = create();
        return reinterpret_cast<PyTypeObject*>(type_);
    }

private:
    PyObject* type_ = nullptr;
};

// Refuses every attribute assignment and deletion on instances, with the
// interpreter's own wording.
int refuse_setattr(PyObject* self, PyObject* name, PyObject* value);

// __init_subclass__ for classes that cannot be subclassed (the interpreter
// does not refuse it everywhere by itself).
extern PyMethodDef kRefuseSubclassMethod;

// The last entry of a class's slots before the terminator, for a class
// whose objects are `Size` bytes. On PyPy, calling a Python class that
// derives from the class with a plain class or a mixin first makes an
// object of the header's size without the class's tp_new, and then calls
// __init__: this tp_init refuses such an object with "No constructor
// defined for <class>", as a call of such a subclass is refused elsewhere.
// The other interpreters refuse those calls by themselves, and there the
// entry is a second terminator.
template <std::size_t Size>
int refuse_foreign_layout(PyObject* self, PyObject*, PyObject*) noexcept {
    if (static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) >= Size) return 0;
    raise_no_constructor(Py_TYPE(self));
    return -1;
}
template <std::size_t Size>
PyType_Slot layout_init_slot() {
#if defined(PYPY_VERSION)
    return {Py_tp_init, reinterpret_cast<void*>(refuse_foreign_layout<Size>)};
#else
    return {0, nullptr};
#endif
}

// Creates a heap type from its spec; `name` is the bare class name. The spec
// gets the dotted name "<module>.<name>", so that the class's __name__ and
// __qualname__ are the bare name and __module__ is `module`. Returns a new
// reference or nullptr with the error set.
PyObject* create_type(std::string_view module, std::string_view name, int basicsize,
                      unsigned flags, std::span<PyType_Slot> slots, PyObject* base = nullptr);

}  // namespace sonvex
