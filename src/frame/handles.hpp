// Owning handles for Python references. Every reference the module holds is
// a Ref, or is borrowed for the length of a call (arguments, the classes the
// module keeps for the life of the process).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace sonvex {

// Holds one strong reference and releases it on destruction.
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

// A new reference to `p`, for handing out.
inline PyObject* new_ref(PyObject* p) {
    Py_INCREF(p);
    return p;
}

inline PyObject* none() { return new_ref(Py_None); }

}  // namespace sonvex
