// Part 1 of 2 of the client's command methods, and their table (see
// command_methods.hpp).

#include "client/command_methods.hpp"

namespace sonvex {

template void fill_command_methods<0>(std::span<PyMethodDef, core::kCommandCount>);

std::span<const PyMethodDef> command_methods() {
    static const auto table = [] {
        std::array<PyMethodDef, core::kCommandCount> methods{};
        fill_command_methods<0>(methods);
        fill_command_methods<1>(methods);
        return methods;
    }();
    return table;
}

}  // namespace sonvex
