#include "commands/field_conversion.hpp"

#include "commands/value_classes.hpp"

namespace sonvex {

namespace {

// An integer of type T, stored as the field's number.
template <class T>
bool to_number(PyObject* o, std::int64_t& number) {
    T value;
    if (!to_int(o, value)) return false;
    number = static_cast<std::int64_t>(value);
    return true;
}

// Field `index` of `command`; false with the error set, before the frame's
// argument handling.
bool convert_field(const core::FieldSpec& field, PyObject* o, core::Command& command,
                   std::size_t index) {
    core::FieldValue& out = command.fields[index];
    using core::Kind;
    if (o == Py_None && (field.use == core::Use::Optional || field.has_default)) {
        out.present = field.has_default;
        out.number = field.default_value;
        return true;
    }
    out.present = true;
    switch (field.kind) {
    case Kind::U8: return to_number<std::uint8_t>(o, out.number);
    case Kind::U16: return to_number<std::uint16_t>(o, out.number);
    case Kind::U32: return to_number<std::uint32_t>(o, out.number);
    case Kind::I16: return to_number<std::int16_t>(o, out.number);
    case Kind::I64: return to_number<std::int64_t>(o, out.number);
    case Kind::Bool: {
        bool v;
        if (!to_bool(o, v)) return false;
        out.number = v;
        return true;
    }
    case Kind::Text: {
        std::string_view v;
        if (!to_line_text(o, v, field.name)) return false;
        command.set_text(index, v);
        return true;
    }
    case Kind::Channels:
    case Kind::ECM: return to_enum(field.kind, o, out.number);
    case Kind::AudioFormatType:
    case Kind::PayloadType:
    case Kind::ToneType:
    case Kind::ConstantWithDescription: return to_constant(field.kind, o, out.constant);
    }
    fail_internal("field of unknown kind");
}

}  // namespace

bool convert_fields(const core::CommandSpec& spec, PyObject* const* bound, core::Command& out) {
    for (std::size_t i = 0; i < spec.fields.size(); ++i)
        if (!convert_field(spec.fields[i], bound[i], out, i))
            return argument_failed(spec.fields[i].name);
    return true;
}

}  // namespace sonvex
