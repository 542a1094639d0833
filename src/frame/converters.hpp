// One converter per kind of parameter: integers of every width, booleans,
// texts, and the parameter types that callables declare with them. Each sets
// a Python error and returns false on failure; the call skeleton then adds
// the parameter's name (see argument_failed). Implemented in converters.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/kinds.hpp"
#include "core/utf8.hpp"
#include "frame/errors.hpp"
#include "frame/fast_paths.hpp"

namespace sonvex {

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
    if (Py_ssize_t value; fast_path::small_int(o, value) && std::in_range<T>(value)) {
        out = static_cast<T>(value);
        return true;
    }
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref::steal(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= 4) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(o);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (!std::in_range<T>(value)) return raise_out_of_range(), false;
        out = static_cast<T>(value);
    } else if constexpr (sizeof(T) == 8) {
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
    if (fast_path::ascii_str(o, out)) return true;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// ValueError "Line break in text argument: <param>".
void raise_line_break(std::string_view param);

// Text that must not break the protocol line: refuses CR and LF.
inline bool to_line_text(PyObject* o, core::LineText& out, std::string_view param) {
    std::string_view text;
    if (!to_text(o, text)) return false;
    if (!core::check_line_text(text, out)) return raise_line_break(param), false;
    return true;
}

// The types of parameters that callables declare (see CallWith): each names
// the C++ type of the converted value and how to convert an argument to it.
namespace param {

// A parameter of a field kind whose values need no class of the module:
// integers, booleans and texts, converted as command fields of that kind are.
template <core::Kind K>
struct Of {
    using type = core::ValueOf<K>;
    static bool convert(PyObject* o, type& v, std::string_view name) {
        constexpr core::Family family = core::KindTraits<K>::family;
        if constexpr (family == core::Family::Integer) {
            return to_int(o, v);
        } else if constexpr (family == core::Family::Boolean) {
            return to_bool(o, v);
        } else {
            static_assert(family == core::Family::Text, "enumerations and constants need their class");
            return to_line_text(o, v, name);
        }
    }
};

// Any str, line breaks included: a raw command line, an address.
struct RawText {
    using type = std::string_view;
    static bool convert(PyObject* o, type& v, std::string_view) { return to_text(o, v); }
};

// None, or a value of P.
template <class P>
struct Optional {
    using type = std::optional<typename P::type>;
    static bool convert(PyObject* o, type& v, std::string_view name) {
        if (o == Py_None) {
            v.reset();
            return true;
        }
        typename P::type value{};
        if (!P::convert(o, value, name)) return false;
        v = value;
        return true;
    }
};

}  // namespace param

}  // namespace sonvex
