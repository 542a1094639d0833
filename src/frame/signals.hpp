// Running the interpreter's signal handlers from native code that waits,
// on CPython and PyPy alike. Header-only: the replies' native drain, a
// module of its own, uses it too.
#pragma once

#include <Python.h>

namespace sonvex {

// Runs the Python handlers of signals that arrived, as the interpreter does
// after a blocking call that a signal interrupted. False with the exception
// set if a handler raised. Handlers run on the main thread only; elsewhere
// this does nothing.
inline bool run_signal_handlers() {
#if defined(PYPY_VERSION)
    // PyPy's PyErr_CheckSignals runs nothing: PyPy runs pending handlers
    // between the bytecodes of Python code. Calling a function of Python code
    // that does nothing runs them now, and a handler's exception comes out of
    // that call.
    static PyObject* nothing = nullptr;  // kept for the life of the process
    if (nothing == nullptr) {
        PyObject* scope = PyDict_New();
        if (scope == nullptr) return false;
        nothing = PyRun_String("lambda: None", Py_eval_input, scope, scope);
        Py_DECREF(scope);
        if (nothing == nullptr) return false;
    }
    PyObject* result = PyObject_CallNoArgs(nothing);
    Py_XDECREF(result);
    return result != nullptr;
#else
    return PyErr_CheckSignals() == 0;
#endif
}

}  // namespace sonvex
