// The module's error model at the boundary with Python: internal failures
// (broken invariants) thrown as C++ exceptions and raised as PanicException,
// the one place where C++ exceptions become Python ones, and the messages
// that several callables share. Implemented in errors.cpp.
#pragma once

#include <string>
#include <string_view>

#include "frame/handles.hpp"
#include "frame/signals.hpp"   // run_signal_handlers

namespace sonvex {

// A broken invariant inside the module.
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

// A PanicException raised by Python code that the module called (say an
// __index__ method) is not an ordinary error: reports it with its Python
// traceback on standard error and raises a PanicException of the module's
// own. Takes over the three references of the fetched exception.
void resume_panic(PyObject* type, PyObject* value, PyObject* traceback);

// __qualname__ (or another name attribute) of a type, or "<failed to extract
// type name>".
std::string type_name(PyTypeObject* type, const char* attribute = "__qualname__");

// Raises `type` with a message that may hold any bytes of UTF-8 (NUL
// included: nothing is cut short).
void raise_error(PyObject* type, std::string_view message);

// TypeError "'<class>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* value, std::string_view target);

}  // namespace sonvex
