// The static factories of Command, one per catalogue row.

#include "commands/commands.hpp"
#include "commands/field_conversion.hpp"
#include "frame/binding.hpp"

namespace sonvex {

namespace {

template <std::size_t I>
inline constexpr Signature kFactorySignature{"Command.", core::kCatalogue[I].factory,
                                             kFieldNames<I>};

// Converts the arguments straight into the command of the new object.
template <std::size_t I>
struct Build {
    static PyObject* run(const Signature&, PyObject*, PyObject* const* bound) {
        core::Command* command = nullptr;
        Ref object = Ref::steal(start_command(static_cast<core::Variant>(I), command));
        if (!object || !convert_fields<I>(bound, *command) || !finish_command<I>(object.get(), *command))
            return nullptr;
        return object.release();
    }
};

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> factory_defs(std::index_sequence<I...>) {
    return {method_def<kFactorySignature<I>, receiver::None, Build<I>>(METH_STATIC)...,
            PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace

std::span<PyMethodDef> factory_methods() {
    static auto defs = factory_defs(std::make_index_sequence<core::kCommandCount>{});
    return defs;
}

}  // namespace sonvex
