// Conversion of Python arguments into the fields of a command, by the kinds
// of the command's catalogue row; shared by the factories and the client's
// command methods.
#pragma once

#include "core/command.hpp"
#include "frame.hpp"

namespace sonvex {

// Converts the bound arguments of command `spec`'s fields, left to right,
// into `out`: None for an optional field gives an absent field or the
// field's default. Texts are refused when they hold a line break. On the
// first failure the error is set (with the parameter's name where the frame
// adds it) and false returned.
bool convert_fields(const core::CommandSpec& spec, PyObject* const* bound, core::Command& out);

}  // namespace sonvex
