// The client's command methods, one per catalogue row: each converts its
// arguments into a command, renders it and sends it. Their method-table
// entries are made in several translation units (command_methods_part*.cpp),
// which the compiler can build side by side: these instantiations, one per
// command, are most of the work of rebuilding the module after a catalogue
// edit. The first part also assembles the table (command_methods,
// client_object.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "client/client_object.hpp"
#include "commands/commands.hpp"
#include "commands/field_conversion.hpp"
#include "core/command.hpp"

namespace sonvex {

// The method table lists get_version first, then the other commands in
// catalogue order.
inline constexpr auto kMethodOrder = [] {
    std::array<std::size_t, core::kCommandCount> order{};
    std::size_t first = 0;
    for (std::size_t i = 0; i < core::kCommandCount; ++i)
        if (core::kCatalogue[i].method == "get_version") first = i;
    std::size_t next = 0;
    order[next++] = first;
    for (std::size_t i = 0; i < core::kCommandCount; ++i)
        if (i != first) order[next++] = i;
    return order;
}();

// The method's parameters: the command's fields, or none when the method
// sends the client's own credentials.
template <std::size_t I>
inline constexpr std::span<const std::string_view> kMethodParams =
    core::kCatalogue[I].method_args == core::MethodArgs::Credentials
        ? std::span<const std::string_view>()
        : std::span<const std::string_view>(kFieldNames<I>);

template <std::size_t I>
inline constexpr Signature kMethodSignature{"SonvexClient.", core::kCatalogue[I].method,
                                            kMethodParams<I>};

// The login's fields: the client's user name and password, and the other
// fields' defaults.
inline void fill_credentials(const ClientObject& client, core::Command& command) {
    const core::CommandSpec& spec = command.spec();
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const core::FieldSpec& field = spec.fields[i];
        if (field.name == "username") {
            command.set_text(i, client.username);
        } else if (field.name == "password") {
            command.set_text(i, client.password);
        } else if (field.has_default) {
            command.set_number(i, field.default_value);
        }
    }
}

// Builds command I from the arguments (or the client's credentials) and
// sends it.
template <std::size_t I>
struct SendCommand {
    static PyObject* run(const Signature&, ClientObject& client, PyObject* const* bound) {
        core::Command command{};
        command.variant = static_cast<core::Variant>(I);
        if constexpr (core::kCatalogue[I].method_args == core::MethodArgs::Credentials)
            fill_credentials(client, command);
        else if (!convert_fields<I>(bound, command))
            return nullptr;
        std::uint64_t tag = 0;
        auto write = [&](char* out) { return core::render_of<I>(command, out); };
        return send_line(client, core::max_length_of<I>(command), write, tag) ? none() : nullptr;
    }
};

// How many translation units share the command methods.
inline constexpr std::size_t kMethodParts = 2;

// The method-table entries of part `Part`: those at positions from
// Part * count / kMethodParts up to the next part's first, in kMethodOrder.
template <std::size_t Part>
void fill_command_methods(std::span<PyMethodDef, core::kCommandCount> table) {
    constexpr std::size_t first = Part * core::kCommandCount / kMethodParts;
    constexpr std::size_t end = (Part + 1) * core::kCommandCount / kMethodParts;
    [&]<std::size_t... P>(std::index_sequence<P...>) {
        ((table[first + P] = method_def<kMethodSignature<kMethodOrder[first + P]>, Exclusive,
                                        SendCommand<kMethodOrder[first + P]>>()),
         ...);
    }(std::make_index_sequence<end - first>{});
}

// One explicit instantiation per part, each in its own file.
static_assert(kMethodParts == 2, "one command_methods_part*.cpp and one line here per part");
extern template void fill_command_methods<0>(std::span<PyMethodDef, core::kCommandCount>);
extern template void fill_command_methods<1>(std::span<PyMethodDef, core::kCommandCount>);

}  // namespace sonvex
