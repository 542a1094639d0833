// Conversion of Python arguments into the fields of a command, by the kinds
// of the command's catalogue row; shared by the factories and the client's
// command methods. Each command gets its own conversion code, generated from
// its row, so that no field kind is looked up at run time.
#pragma once

#include <utility>

#include "commands/value_classes.hpp"
#include "core/command.hpp"
#include "frame.hpp"

namespace sonvex {

namespace detail {

template <core::Kind K>
struct IntegerOf;
template <> struct IntegerOf<core::Kind::U8> { using type = std::uint8_t; };
template <> struct IntegerOf<core::Kind::U16> { using type = std::uint16_t; };
template <> struct IntegerOf<core::Kind::U32> { using type = std::uint32_t; };
template <> struct IntegerOf<core::Kind::I16> { using type = std::int16_t; };
template <> struct IntegerOf<core::Kind::I64> { using type = std::int64_t; };

constexpr bool is_integer_kind(core::Kind kind) {
    using core::Kind;
    return kind == Kind::U8 || kind == Kind::U16 || kind == Kind::U32 || kind == Kind::I16 ||
           kind == Kind::I64;
}

// Field J of command I from `o`; false with the error set, before the
// frame's argument handling. Texts refer to the UTF-8 held by the str
// argument, which outlives the call.
template <std::size_t I, std::size_t J>
bool convert_field(PyObject* o, core::Command& command) {
    using core::Kind;
    constexpr const core::FieldSpec& field = core::kCatalogue[I].fields[J];
    if constexpr (field.use == core::Use::Optional || field.has_default) {
        if (o == Py_None) {
            if constexpr (field.has_default) command.set_number(J, field.default_value);
            return true;
        }
    }
    if constexpr (is_integer_kind(field.kind)) {
        typename IntegerOf<field.kind>::type value;
        if (!to_int(o, value)) return false;
        command.set_number(J, static_cast<std::int64_t>(value));
    } else if constexpr (field.kind == Kind::Bool) {
        bool value;
        if (!to_bool(o, value)) return false;
        command.set_number(J, value);
    } else if constexpr (field.kind == Kind::Text) {
        std::string_view value;
        bool ascii;
        if (!to_line_text(o, value, field.name, ascii)) return false;
        command.set_text(J, value, ascii);
    } else if constexpr (field.kind == Kind::Channels || field.kind == Kind::ECM) {
        std::int64_t number;
        if (!to_enum(field.kind, o, number)) return false;
        command.set_number(J, number);
    } else {
        const core::Constant* constant;
        if (!to_constant(field.kind, o, constant)) return false;
        command.set_constant(J, constant);
    }
    return true;
}

}  // namespace detail

// Converts the bound arguments of command I's fields, left to right, into
// `out`: None for an optional field gives an absent field or the field's
// default. Texts are refused when they hold a line break. On the first
// failure the error is set (with the parameter's name where the frame adds
// it) and false returned; later arguments are not looked at.
template <std::size_t I>
bool convert_fields(PyObject* const* bound, core::Command& out) {
    constexpr auto fields = core::kCatalogue[I].fields;
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return ((detail::convert_field<I, J>(bound[J], out) || argument_failed(fields[J].name)) &&
                ...);
    }(std::make_index_sequence<fields.size()>{});
}

}  // namespace sonvex
