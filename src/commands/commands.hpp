// The Python face of the command model: Command with its variant and payload
// classes and the static factories, and what the client needs of them. Free
// of the catalogue (see command_fwd.hpp); the code generated from its rows
// is in field_conversion.hpp.
#pragma once

#include <cstddef>
#include <span>

#include "core/command_fwd.hpp"
#include "frame/handles.hpp"

namespace sonvex {

// The class Command, created with its variant classes on first use and kept
// for the life of the process (borrowed; nullptr with the error set).
PyTypeObject* command_type();

// A new object of the command's variant class holding a copy of the command
// and its texts.
PyObject* new_command_object(const core::Command& command);

// A new object of the variant's class whose command the caller fills in (its
// texts may refer to memory the caller keeps alive), then completes with
// finish_command before handing the object out; an object dropped before
// that is freed as it is.
PyObject* start_command(core::Variant variant, core::Command*& command);
// Room in the object for `bytes` bytes of texts, which the caller must fill
// at once: the object counts as complete from here on (finish_command,
// field_conversion.hpp). Null with MemoryError set.
char* text_storage(PyObject* object, std::size_t bytes);

// The command held by an instance of Command (borrowed from the object); a
// TypeError with the conversion message otherwise.
const core::Command* command_of(PyObject* o);

// The static factories, one per command, for Command's method table.
std::span<PyMethodDef> factory_methods();

}  // namespace sonvex
