// The Python face of the command model: Command with its variant and payload
// classes and the static factories, and what the client needs of them.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "core/command.hpp"
#include "frame/handles.hpp"

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

// A new object of the command's variant class holding a copy of the command
// and its texts.
PyObject* new_command_object(const core::Command& command);

// A new object of the variant's class whose command the caller fills in (its
// texts may refer to memory the caller keeps alive), then completes with
// finish_command before handing the object out; an object dropped before
// that is freed as it is.
PyObject* start_command(core::Variant variant, core::Command*& command);
// Room in the object for `bytes` bytes of texts, which the caller must fill
// at once: the object counts as complete from here on. Null with
// MemoryError set.
char* text_storage(PyObject* object, std::size_t bytes);
// Copies the texts of the object's command (of variant I) into the object;
// false with MemoryError set.
template <std::size_t I>
bool finish_command(PyObject* object, core::Command& command) {
    char* storage = text_storage(object, core::text_bytes_of<I>(command));
    if (!storage) return false;
    core::copy_texts_of<I>(command, storage);
    return true;
}

// The command held by an instance of Command (borrowed from the object); a
// TypeError with the conversion message otherwise.
const core::Command* command_of(PyObject* o);

// The static factories, one per command, for Command's method table.
std::span<PyMethodDef> factory_methods();

}  // namespace sonvex
