#include "core/command.hpp"

#include <charconv>
#include <cstring>

namespace sonvex::core {

namespace {

constexpr std::size_t kMaxNumberDigits = 20;  // "-9223372036854775808"

bool is_constant(Kind kind) {
    return kind == Kind::AudioFormatType || kind == Kind::PayloadType ||
           kind == Kind::ToneType || kind == Kind::ConstantWithDescription;
}

// The text of a field's value, or empty when it is a number.
std::string_view value_text(const Command& command, std::size_t field, Kind kind) {
    if (kind == Kind::Text) return command.text(field);
    if (is_constant(kind)) {
        const Constant* constant = command.fields[field].constant;
        return constant ? constant->value : std::string_view();
    }
    return {};
}

char* put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* put_value(char* p, const Command& command, std::size_t field, Kind kind) {
    if (kind == Kind::Text || is_constant(kind)) return put(p, value_text(command, field, kind));
    // Integers, booleans (stored as 0 or 1) and enumeration numbers.
    return std::to_chars(p, p + kMaxNumberDigits, command.fields[field].number).ptr;
}

}  // namespace

void render(const Command& command, std::string& out) {
    const CommandSpec& spec = command.spec();
    // Size the output once, for the longest form every value can take, then
    // write straight into it.
    std::size_t bound = spec.variant.size();
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const FieldSpec& field = spec.fields[i];
        if (!command.fields[i].present && field.use == Use::Optional) continue;
        bound += 2 + field.key.size() + kMaxNumberDigits +
                 value_text(command, i, field.kind).size();
    }
    const std::size_t start = out.size();
    out.resize(start + bound);
    char* const begin = out.data() + start;
    char* p = put(begin, spec.variant);
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const FieldSpec& field = spec.fields[i];
        if (!command.fields[i].present && field.use == Use::Optional) continue;
        *p++ = ' ';
        if (!field.key.empty()) {
            p = put(p, field.key);
            *p++ = '=';
        }
        p = put_value(p, command, i, field.kind);
    }
    out.resize(start + static_cast<std::size_t>(p - begin));
}

}  // namespace sonvex::core
