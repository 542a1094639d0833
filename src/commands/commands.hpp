// The Python face of the command model: Command with its variant and payload
// classes and the static factories, and what the client needs of them.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "core/command.hpp"
#include "frame.hpp"

namespace sonvex {

// The class Command, created with its variant classes on first use and kept
// for the life of the process (borrowed; nullptr with the error set).
PyTypeObject* command_type();

// The parameter names of command I, in field order.
template <std::size_t I>
inline constexpr auto kFieldNames = [] {
    constexpr std::span<const core::FieldSpec> fields = core::kCatalogue[I].fields;
    std::array<std::string_view, fields.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = fields[i].name;
    return names;
}();

// A new object of the command's variant class holding the command.
PyObject* wrap_command(core::Command&& command);
// A new object of the variant's class holding an empty command of that
// variant, which the caller fills in before handing the object out.
PyObject* new_command(core::Variant variant, core::Command*& command);

// Copies the command held by an instance of Command; a TypeError with the
// conversion message otherwise.
bool command_from_object(PyObject* o, core::Command& out);

// The static factories, one per command, for Command's method table.
std::span<PyMethodDef> factory_methods();

}  // namespace sonvex
