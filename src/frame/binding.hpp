// Binding a call's arguments to a callable's parameters, the receivers of
// methods (with the borrow flags that guard an object during a call), and
// the one call skeleton on which every callable of the module is built.
// Implemented in binding.cpp.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "frame/classes.hpp"
#include "frame/errors.hpp"

namespace sonvex {

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
// Receivers, and the borrow flags that guard them: shared use for calls
// that read an object, exclusive use for calls that change it. A conflict
// can only come from re-entry (Python code the module runs during a call
// calling back into the same object).

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

// A body that converts each argument by its parameter type (param::Of<K>,
// param::Optional<P>, ...: anything with a `type` and a `convert`) and calls
//   PyObject* Fn(Target target, typename Params::type... values);
template <auto Fn, class... Params>
struct CallWith {
    template <class Target>
    static PyObject* run(const Signature& sig, Target&& target, PyObject* const* bound) {
        return run(sig, std::forward<Target>(target), bound, std::index_sequence_for<Params...>{});
    }

private:
    template <class Target, std::size_t... I>
    static PyObject* run(const Signature& sig, Target&& target, PyObject* const* bound,
                         std::index_sequence<I...>) {
        std::tuple<typename Params::type...> values;
        bool ok = true;
        ((ok = ok && (Params::convert(bound[I], std::get<I>(values), sig.params[I]) ||
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

}  // namespace sonvex
