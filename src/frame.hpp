// The call frame that every callable of the module goes through: owning
// handles for Python references, binding of arguments to parameters,
// one converter per parameter kind, borrow flags, and the boundary that turns
// C++ failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace sonvex {

// ---------------------------------------------------------------------------
// Owning handle: holds one strong reference and releases it on destruction.

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }   // adopts a new reference
    static Ref borrow(PyObject* p) {                    // takes a new reference
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

// ---------------------------------------------------------------------------
// Names and common errors.

// __qualname__ of a type, or "<failed to extract type name>".
std::string type_name(PyTypeObject* type);

// Raises `type` with a message that may hold any bytes of UTF-8 (NUL
// included: nothing is cut short).
void raise_error(PyObject* type, std::string_view message);

// TypeError "'<class>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* value, std::string_view target);

// For slots the interpreter may call with an object of another class:
// TypeError "descriptor '<slot>' requires a '<class>' object but received a
// '<other>'" unless `self` is an instance of `type`.
bool check_self(PyObject* self, PyTypeObject* type, const char* slot);

// TypeError "No constructor defined for <class>".
PyObject* raise_no_constructor(PyTypeObject* type);

// ---------------------------------------------------------------------------
// Binding.

struct Signature {
    std::string_view owner;  // "Command." for a class member, empty for a module function
    std::string_view name;
    std::span<const std::string_view> params;
};

// Binds a vectorcall argument list to the parameters: `bound` receives one
// borrowed reference per parameter. On failure sets the TypeError with the
// exact binding message and returns false. A callable without parameters
// refuses arguments in the interpreter's own words.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Called after a parameter's conversion failed: gives a TypeError the
// "argument '<name>': " prefix and turns a PanicException raised by Python
// code we invoked into an internal failure of our own. Returns false.
bool argument_failed(std::string_view param);

// ---------------------------------------------------------------------------
// Converters, one per parameter kind. Each sets a Python error and returns
// false on failure; the frame then calls argument_failed.

bool to_u8(PyObject* o, std::uint8_t& out);
bool to_u16(PyObject* o, std::uint16_t& out);
bool to_u32(PyObject* o, std::uint32_t& out);
bool to_i16(PyObject* o, std::int16_t& out);
bool to_i64(PyObject* o, std::int64_t& out);
bool to_bool(PyObject* o, bool& out);
// Borrows the UTF-8 form held by the str object; valid while `o` lives.
bool to_text(PyObject* o, std::string_view& out);
// Text that must not break the protocol line: refuses CR and LF with
// ValueError "Line break in text argument: <param>".
bool to_line_text(PyObject* o, std::string_view& out, std::string_view param);
// An instance of `type` (or a subclass); the caller copies its value.
bool to_instance(PyObject* o, PyTypeObject* type);

// Parameter kinds as types, for callables declared with typed bodies.
namespace kind {
struct U16 {
    using type = std::uint16_t;
    static bool convert(PyObject* o, type& v, std::string_view) { return to_u16(o, v); }
};
struct U32 {
    using type = std::uint32_t;
    static bool convert(PyObject* o, type& v, std::string_view) { return to_u32(o, v); }
};
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

class SharedUse {
public:
    explicit SharedUse(BorrowFlag& flag) : flag_(&flag) {}
    bool acquire();  // RuntimeError "Already mutably borrowed" on conflict
    ~SharedUse() {
        if (held_) --flag_->state;
    }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

private:
    BorrowFlag* flag_;
    bool held_ = false;
};

class ExclusiveUse {
public:
    explicit ExclusiveUse(BorrowFlag& flag) : flag_(&flag) {}
    bool acquire();  // RuntimeError "Already borrowed" on conflict
    ~ExclusiveUse() {
        if (held_) flag_->state = 0;
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

private:
    BorrowFlag* flag_;
    bool held_ = false;
};

// What a callable does with its receiver before converting its arguments.
namespace receiver {
struct None {
    static bool acquire(PyObject*, std::optional<int>&) { return true; }
};
// T has a member `BorrowFlag borrow` and a static `PyTypeObject* type()`.
template <class T, class Use>
struct Borrow {
    static bool acquire(PyObject* self, std::optional<Use>& use) {
        if (!check_self(self, T::type(), "method")) return false;
        use.emplace(reinterpret_cast<T*>(self)->borrow);
        return use->acquire();
    }
};
template <class T>
using Shared = Borrow<T, SharedUse>;
template <class T>
using Exclusive = Borrow<T, ExclusiveUse>;
}  // namespace receiver

template <class R>
struct guard_of;
template <>
struct guard_of<receiver::None> {
    using type = int;
};
template <class T, class Use>
struct guard_of<receiver::Borrow<T, Use>> {
    using type = Use;
};

template <const Signature& Sig, auto Body, class... Kinds, std::size_t... I>
PyObject* convert_and_call(PyObject* self, PyObject** bound, std::index_sequence<I...>) {
    std::tuple<typename Kinds::type...> values;
    bool ok = true;
    // Left to right; stops at the first failure.
    ((ok = ok && (Kinds::convert(bound[I], std::get<I>(values), Sig.params[I]) ||
                  argument_failed(Sig.params[I]))),
     ...);
    if (!ok) return nullptr;
    return Body(self, std::get<I>(values)...);
}

// A callable declared by its signature, what it does with its receiver, its
// parameter kinds and a body taking the converted values:
//
//   PyObject* body(PyObject* self, typename Kinds::type... values);
//
// The frame binds, takes the receiver, converts strictly left to right
// (first failure wins) and runs the body, with every C++ failure caught.
template <const Signature& Sig, class Receiver, auto Body, class... Kinds>
PyObject* callable(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    return guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        PyObject* bound[sizeof...(Kinds) + 1];
        if (!bind_arguments(Sig, args, nargs, kwnames, bound)) return nullptr;
        std::optional<typename guard_of<Receiver>::type> use;
        if (!Receiver::acquire(self, use)) return nullptr;
        return convert_and_call<Sig, Body, Kinds...>(self, bound,
                                                    std::index_sequence_for<Kinds...>{});
    });
}

// Method-table entry for a frame callable.
#define SONVEX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ---------------------------------------------------------------------------
// Class helpers shared by all classes of the module.

// Refuses every attribute assignment and deletion on instances, with the
// interpreter's own wording.
int refuse_setattr(PyObject* self, PyObject* name, PyObject* value);

// __init_subclass__ for classes that cannot be subclassed (the interpreter
// does not refuse it everywhere by itself).
extern PyMethodDef kRefuseSubclassMethod;

// Creates a heap type from its spec; `name` is the bare class name. The spec
// gets the dotted name "<module>.<name>", so that the class's __name__ and
// __qualname__ are the bare name and __module__ is `module`. Returns a new
// reference or nullptr with the error set.
PyObject* create_type(std::string_view module, std::string_view name, int basicsize,
                      unsigned flags, std::span<PyType_Slot> slots, PyObject* base = nullptr);

// The class PanicException, created on first use (borrowed; lives forever).
PyObject* panic_exception_type();

}  // namespace sonvex

namespace sonvex {
// Binds the tuple-and-dict argument form (constructors) like bind_arguments.
// `keep` receives strong references to the bound values: the caller's dict
// may be changed by Python code that a conversion runs.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound,
                    Ref& keep);
}  // namespace sonvex
