// Part 2 of 2 of the client's command methods (see command_methods.hpp).

#include "client/command_methods.hpp"

namespace sonvex {

template void fill_command_methods<1>(std::span<PyMethodDef, core::kCommandCount>);

}  // namespace sonvex
