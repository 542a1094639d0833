// What the module entry needs from the module's classes.
#pragma once

#include "frame.hpp"

namespace sonvex {

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute. Consumes `value`; false with the error set.
bool add_to_module(PyObject* module, const char* name, Ref value);

// The class objects, created on first use and kept for the life of the
// process (borrowed references; nullptr with the error set on failure).
PyObject* client_type();
PyObject* command_type();

}  // namespace sonvex
