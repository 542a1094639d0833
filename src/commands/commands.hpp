// The Python face of the command model: Command with its variant and payload
// classes, the static factories, and the conversion of Python arguments into
// command fields that the factories and the client methods share.
#pragma once

#include <array>
#include <string>

#include "core/command.hpp"
#include "frame.hpp"

namespace sonvex {

// The parameter names of command I, in field order.
template <std::size_t I>
inline constexpr auto kFieldNames = [] {
    constexpr std::span<const core::FieldSpec> fields = core::kCatalogue[I].fields;
    std::array<std::string_view, fields.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = fields[i].name;
    return names;
}();

// Converts the bound arguments of command `spec`'s fields, left to right,
// into `out`: None for an optional field gives an absent field or the
// field's default. Texts are refused when they hold a line break. On the
// first failure the error is set (with the parameter's name where the frame
// adds it) and false returned.
bool convert_fields(const core::CommandSpec& spec, PyObject* const* bound, core::Command& out);
// Field `index` of `command`; false with the error set, before the frame's
// argument handling.
bool convert_field(const core::FieldSpec& field, PyObject* o, core::Command& command,
                   std::size_t index);

// A new object of the command's variant class holding the command.
PyObject* wrap_command(core::Command&& command);
// A new object of the variant's class holding an empty command of that
// variant, which the caller fills in before handing the object out.
PyObject* new_command(core::Variant variant, core::Command*& command);

// Copies the command held by an instance of Command; a TypeError with the
// conversion message otherwise.
bool command_from_object(PyObject* o, core::Command& out);

// "name(a, b)\n--\n\n", or "name($self, a, b)\n--\n\n" for instance methods.
// The text is kept for the life of the process.
const char* signature_doc(std::string_view name, std::span<const std::string_view> params,
                          bool with_self);

// The static factories, one per command, for Command's method table.
std::span<PyMethodDef> factory_methods();

}  // namespace sonvex
