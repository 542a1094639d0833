// The Python classes of the value types of command fields: Channels, ECM and
// the four constant classes. None of them is in a module; each class object
// is created on first use and kept for the life of the process.
#pragma once

#include "core/kinds.hpp"
#include "frame/handles.hpp"

namespace sonvex {

// Channels or ECM: the class of `kind` (Kind::Channels or Kind::ECM);
// borrowed, nullptr with the error set on failure.
PyTypeObject* enum_type(core::Kind kind);

// AudioFormatType, PayloadType, ToneType or ConstantWithDescription.
PyTypeObject* constant_type(core::Kind kind);

// Copies the value of an argument of a value kind into a field: the member's
// number for Channels and ECM, the constant for the constant classes. Any
// other object raises the conversion error naming the class.
bool to_enum(core::Kind kind, PyObject* o, std::int64_t& number);
bool to_constant(core::Kind kind, PyObject* o, const core::Constant*& constant);

}  // namespace sonvex
