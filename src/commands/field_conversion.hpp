// Conversion of Python arguments into the fields of a command, by the kinds
// of the command's catalogue row; shared by the factories and the client's
// command methods. Each command gets its own conversion code, generated from
// its row, so that no field kind is looked up at run time.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "commands/commands.hpp"
#include "commands/value_classes.hpp"
#include "core/command.hpp"
#include "frame/binding.hpp"
#include "frame/converters.hpp"

namespace sonvex {

// The parameter names of command I, in field order.
template <std::size_t I>
inline constexpr auto kFieldNames = [] {
    constexpr std::span<const core::FieldSpec> fields = core::kCatalogue[I].fields;
    std::array<std::string_view, fields.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = fields[i].name;
    return names;
}();

// Copies the texts of the command (of variant I) that start_command gave
// into its object; false with MemoryError set.
template <std::size_t I>
bool finish_command(PyObject* object, core::Command& command) {
    char* storage = text_storage(object, core::text_bytes_of<I>(command));
    if (!storage) return false;
    core::copy_texts_of<I>(command, storage);
    return true;
}

namespace field_detail {

// Field J of command I from `o`; false with the error set, before the
// frame's argument handling. Texts refer to the UTF-8 held by the str
// argument, which outlives the call.
template <std::size_t I, std::size_t J>
bool convert_field(PyObject* o, core::Command& command) {
    using core::Family;
    constexpr const core::FieldSpec& field = core::kCatalogue[I].fields[J];
    constexpr Family family = core::family_of(field.kind);
    if constexpr (field.use == core::Use::Optional || field.has_default) {
        if (o == Py_None) {
            if constexpr (field.has_default) command.set_number(J, field.default_value);
            return true;
        }
    }
    if constexpr (family == Family::Enumeration) {
        std::int64_t number;
        if (!to_enum(field.kind, o, number)) return false;
        command.set_number(J, number);
    } else if constexpr (family == Family::Constant) {
        const core::Constant* constant;
        if (!to_constant(field.kind, o, constant)) return false;
        command.set_constant(J, constant);
    } else {
        using Param = param::Of<field.kind>;
        typename Param::type value;
        if (!Param::convert(o, value, field.name)) return false;
        if constexpr (family == Family::Text)
            command.set_text(J, value);
        else
            command.set_number(J, static_cast<std::int64_t>(value));
    }
    return true;
}

}  // namespace field_detail

// Converts the bound arguments of command I's fields, left to right, into
// `out`: None for an optional field gives an absent field or the field's
// default. Texts are refused when they hold a line break. On the first
// failure the error is set (with the parameter's name where the frame adds
// it) and false returned; later arguments are not looked at.
template <std::size_t I>
bool convert_fields(PyObject* const* bound, core::Command& out) {
    constexpr auto fields = core::kCatalogue[I].fields;
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return ((field_detail::convert_field<I, J>(bound[J], out) ||
                 argument_failed(fields[J].name)) &&
                ...);
    }(std::make_index_sequence<fields.size()>{});
}

}  // namespace sonvex
