#include "core/command.hpp"

#include <charconv>

namespace sonvex::core {

std::size_t find_variant(std::string_view name) {
    for (std::size_t i = 0; i < kCommandCount; ++i)
        if (kCatalogue[i].variant == name) return i;
    return kCommandCount;
}

int find_field(const CommandSpec& spec, std::string_view name) {
    for (std::size_t i = 0; i < spec.fields.size(); ++i)
        if (spec.fields[i].name == name) return static_cast<int>(i);
    return -1;
}

namespace {

void append_number(std::string& out, std::int64_t value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

void append_value(std::string& out, Kind kind, const FieldValue& value) {
    switch (kind) {
    case Kind::Text:
        out += value.text;
        return;
    case Kind::AudioFormatType:
    case Kind::PayloadType:
    case Kind::ToneType:
    case Kind::ConstantWithDescription:
        if (value.constant) out += value.constant->value;
        return;
    default:
        // Integers, booleans (stored as 0 or 1) and enumeration numbers.
        append_number(out, value.number);
        return;
    }
}

}  // namespace

void render(const Command& command, std::string& out) {
    const CommandSpec& spec = command.spec();
    out += spec.opening;
    bool first_positional = true;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const FieldSpec& field = spec.fields[i];
        const FieldValue& value = command.fields[i];
        if (field.use == Use::Required) {
            if (!first_positional) out += ' ';
            first_positional = false;
            append_value(out, field.kind, value);
        } else if (value.present) {
            out += field.key;
            append_value(out, field.kind, value);
        }
    }
}

}  // namespace sonvex::core
