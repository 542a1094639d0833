// The converters' slow paths and messages.

#include "frame/converters.hpp"

#include <cstring>
#include <initializer_list>
#include <string>

namespace sonvex {

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

void raise_line_break(std::string_view param) {
    std::string message = "Line break in text argument: ";
    message += param;
    raise_error(PyExc_ValueError, message);
}

namespace {

bool attribute_equals(PyObject* object, const char* attribute,
                      std::initializer_list<const char*> texts) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return false;
    }
    const char* utf8 = PyUnicode_AsUTF8(value.get());
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    for (const char* text : texts)
        if (std::strcmp(utf8, text) == 0) return true;
    return false;
}

// numpy's boolean scalar converts through its __bool__.
bool is_numpy_bool(PyTypeObject* type) {
    auto* t = reinterpret_cast<PyObject*>(type);
    return attribute_equals(t, "__name__", {"bool_", "bool"}) &&
           attribute_equals(t, "__module__", {"numpy"});
}

}  // namespace

bool to_bool_slow(PyObject* o, bool& out) {
    if (!is_numpy_bool(Py_TYPE(o))) {
        raise_conversion_error(o, "PyBool");
        return false;
    }
    Ref method = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)),
                                                   "__bool__"));
    if (!method) {
        PyErr_Clear();
        std::string message = "object of type '" + type_name(Py_TYPE(o)) +
                              "' does not define a '__bool__' conversion";
        raise_error(PyExc_TypeError, message);
        return false;
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), o, nullptr));
    if (!result) return false;
    if (result.get() != Py_True && result.get() != Py_False) {
        raise_conversion_error(result.get(), "PyBool");
        return false;
    }
    out = result.get() == Py_True;
    return true;
}

}  // namespace sonvex
