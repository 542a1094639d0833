// Internal failures and PanicException, names and the messages several
// callables share.

#include "frame/errors.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "core/output.hpp"

namespace sonvex {

void fail_internal(std::string text, const char* file, int line) {
    throw InternalFailure{std::move(text), file, line};
}

namespace {

constexpr const char* kPanicDoc =
    "Raised when the compiled code of sonvex_rs, called from Python, fails in a way that\n"
    "is not an ordinary Python error (a broken internal invariant).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "will typically propagate all the way through the stack and cause the interpreter\n"
    "to exit.";

constexpr const char* kPanicWithoutText = "internal failure without a description";

void write_stderr(const std::string& text) { core::write_all(core::kStderr, text); }

std::string thread_description() {
    return "thread " + std::to_string(static_cast<long>(::syscall(SYS_gettid)));
}

// Raises PanicException with `message` (a str).
void set_panic(PyObject* message) {
    PyObject* type = panic_exception_type();
    if (!type) return;
    Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(type, message, nullptr));
    if (instance) PyErr_SetObject(type, instance.get());
}

}  // namespace

PyObject* panic_exception_type() {
    // Created on first use and kept for the life of the process.
    static PyObject* type = nullptr;
    if (!type)
        type = PyErr_NewExceptionWithDoc("sonvex_rs.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_panic(const std::string& text, const char* file, int line) {
    PyErr_Clear();
    const std::string shown = text.empty() ? kPanicWithoutText : text;
    write_stderr("sonvex_rs: internal failure in " + thread_description() + " at " + file + ":" +
                 std::to_string(line) + ":\n" + shown + "\n");
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(shown.data(),
                                                  static_cast<Py_ssize_t>(shown.size()),
                                                  "replace"));
    if (message) set_panic(message.get());
    return nullptr;
}

void raise_from_current_exception() {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        raise_panic(failure.text, failure.file, failure.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic("", __FILE__, __LINE__);
    }
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
    write_stderr("sonvex_rs: PanicException raised by Python code called from " +
                 thread_description() + "; resuming it. Python stack trace:\n");
    Ref message = Ref::steal(PyObject_Str(value));
    PyErr_Restore(type, value, traceback);  // steals all three
    PyErr_PrintEx(0);
    if (!message) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromString(kPanicWithoutText));
        if (!message) return;
    }
    set_panic(message.get());
}

std::string type_name(PyTypeObject* type, const char* attribute) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8) return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_error(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_conversion_error(PyObject* value, std::string_view target) {
    std::string message = "'";
    message += type_name(Py_TYPE(value));
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    raise_error(PyExc_TypeError, message);
}

}  // namespace sonvex
