// SonvexClient, the client class.
#pragma once

#include "frame/handles.hpp"

namespace sonvex {

// The class object, created on first use and kept for the life of the
// process (borrowed; nullptr with the error set on failure).
PyTypeObject* client_type();

}  // namespace sonvex
