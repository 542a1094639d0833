// The command model: the catalogue of protocol commands read from
// catalogue.def, command values with their payload fields, and rendering of a
// command to its wire text. No Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/values.hpp"

namespace sonvex::core {

// What a field holds and how it is written.
enum class Kind : std::uint8_t {
    U8, U16, U32, I16, I64, Bool, Text,
    Channels, ECM, AudioFormatType, PayloadType, ToneType, ConstantWithDescription,
};

// Required fields are always present and always written; optional ones are
// written only when present. Either may carry a default that the Python
// factories and client methods store for None.
enum class Use : std::uint8_t { Required, Optional };

// How the client method of a command takes its fields.
enum class MethodArgs : std::uint8_t { Arguments, Credentials };

struct FieldSpec {
    std::string_view name;
    Kind kind;
    Use use;
    std::string_view key;  // written as " Key=value"; empty: " value"
    bool has_default;
    std::int64_t default_value;
};

struct CommandSpec {
    std::string_view variant;  // also the command word that opens its line
    std::string_view factory;
    std::string_view method;
    MethodArgs method_args;
    std::span<const FieldSpec> fields;
};

enum class Variant : std::uint8_t {
#define COMMAND(Variant, ...) Variant,
#include "core/catalogue.def"
};

namespace catalogue_rows {
// One field array per command; each ends in a terminator so that commands
// without fields still get an array.
#define REQ(name, kind) FieldSpec{#name, Kind::kind, Use::Required, {}, false, 0},
#define REQ_DEF(name, kind, value) FieldSpec{#name, Kind::kind, Use::Required, {}, true, value},
#define REQ_KEY(name, kind, Key) FieldSpec{#name, Kind::kind, Use::Required, #Key, false, 0},
#define OPT(name, kind, Key) FieldSpec{#name, Kind::kind, Use::Optional, #Key, false, 0},
#define OPT_DEF(name, kind, Key, value) FieldSpec{#name, Kind::kind, Use::Optional, #Key, true, value},
#define OPT_POS(name, kind) FieldSpec{#name, Kind::kind, Use::Optional, {}, false, 0},
#define COMMAND(Variant, factory, method, ...) \
    inline constexpr FieldSpec Variant[] = {__VA_ARGS__ FieldSpec{}};
#include "core/catalogue.def"
}  // namespace catalogue_rows

inline constexpr CommandSpec kCatalogue[] = {
#define ROW(Variant, factory, method, method_args)                                  \
    CommandSpec{#Variant, #factory, #method, MethodArgs::method_args,               \
                std::span<const FieldSpec>(catalogue_rows::Variant,                 \
                                           std::size(catalogue_rows::Variant) - 1)},
#define COMMAND(Variant, factory, method, ...) ROW(Variant, factory, method, Arguments)
#define CREDENTIALS_COMMAND(Variant, factory, method, ...) \
    ROW(Variant, factory, method, Credentials)
#include "core/catalogue.def"
#undef ROW
};

inline constexpr std::size_t kCommandCount = std::size(kCatalogue);

inline constexpr std::size_t kMaxFields = [] {
    std::size_t most = 0;
    for (const CommandSpec& spec : kCatalogue) most = std::max(most, spec.fields.size());
    return most;
}();

constexpr const CommandSpec& spec_of(Variant v) { return kCatalogue[static_cast<std::size_t>(v)]; }

// One field's value. Which member is meaningful follows from the field's
// kind: integers, booleans (0 or 1) and enumeration numbers in `number`,
// constants in `constant`, texts as a range of the command's text storage.
struct FieldValue {
    std::int64_t number = 0;
    const Constant* constant = nullptr;
    std::size_t text_begin = 0;
    std::size_t text_size = 0;
    bool present = false;
};

// A complete command: its variant and one value per field of its row. All
// its texts live in one string, so that a command is small, cheap to build,
// move and copy, and owns everything it refers to except the constants.
// Immutable once built; copied whole.
struct Command {
    Variant variant{};
    std::array<FieldValue, kMaxFields> fields{};
    std::string texts;

    const CommandSpec& spec() const { return spec_of(variant); }

    std::string_view text(std::size_t field) const {
        return std::string_view(texts).substr(fields[field].text_begin, fields[field].text_size);
    }
    // Stores a text field (present). Texts are appended, so set each once.
    void set_text(std::size_t field, std::string_view value) {
        fields[field].present = true;
        fields[field].text_begin = texts.size();
        fields[field].text_size = value.size();
        texts.append(value);
    }
};

// Appends the wire text of the command: the command word, then for every
// field that is present a space, its key and "=" if it has one, and its
// value. Never fails.
void render(const Command& command, std::string& out);
inline std::string render(const Command& command) {
    std::string out;
    render(command, out);
    return out;
}

// True when a text holds a carriage return or a line feed, which would end
// the protocol line early.
inline bool has_line_break(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace sonvex::core
