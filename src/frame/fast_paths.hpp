// The interpreter-specific shortcuts of the converters, all in one place.
// Each reads or makes an object the way the interpreter lays it out, which
// is several times cheaper than the general C API call it stands in for; each
// falls back to that call (by returning false) whenever the object is not
// the simple case it knows. Every interpreter the module supports is handled
// here, so that nothing else in the module depends on object layouts.
#pragma once

#include <cstddef>
#include <string_view>

#include "frame/handles.hpp"

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int, read by small_int (Python.h has them from 3.11)
#endif

namespace sonvex::fast_path {

// The value of an exact int that fits a Py_ssize_t cheaply, the usual
// argument; false (and no error) for anything else.
inline bool small_int(PyObject* o, Py_ssize_t& value) {
    if (!PyLong_CheckExact(o)) return false;
#if defined(PYPY_VERSION)
    // PyPy converts to Py_ssize_t at less than half the cost of the other
    // widths; values it cannot hold go the general way, which also gives the
    // interpreter's own error for them.
    value = PyLong_AsSsize_t(o);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
#elif PY_VERSION_HEX >= 0x030C0000
    // CPython 3.12 and later: ints of one digit or none are "compact".
    auto* number = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = PyUnstable_Long_CompactValue(number);
    return true;
#else
    // Older CPython: the sign is that of ob_size, and ints of one digit or
    // none hold it in ob_digit[0]. Only non-negative ones are read here.
    const Py_ssize_t size = Py_SIZE(o);
    if (size != 0 && size != 1) return false;
    value = size ? static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]) : 0;
    return true;
#endif
}

// The bytes of a str that is all ASCII, which are its own UTF-8 form: read
// from the object's header. PyPy fills in the same header for the str
// objects it hands to C. False for any other str.
inline bool ascii_str(PyObject* o, std::string_view& out) {
#if defined(PYPY_VERSION) || PY_VERSION_HEX < 0x030C0000
    if (!(PyUnicode_IS_READY(o) && PyUnicode_IS_COMPACT_ASCII(o))) return false;
#else
    if (!PyUnicode_IS_COMPACT_ASCII(o)) return false;
#endif
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
    return true;
}

// A new str of `length` ASCII characters, which `fill` writes at the char*
// it is given: the cheapest way to make a str on every interpreter (on PyPy
// several times cheaper than decoding bytes).
template <class Fill>
PyObject* new_ascii_str(std::size_t length, Fill&& fill) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text) fill(static_cast<char*>(PyUnicode_DATA(text)));
    return text;
}

}  // namespace sonvex::fast_path
