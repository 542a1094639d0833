// The command model: the catalogue of protocol commands read from
// catalogue.def, command values with their payload fields, and rendering of a
// command to its wire text. No Python in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/command_fwd.hpp"
#include "core/kinds.hpp"
#include "core/put.hpp"
#include "core/short_bytes.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"

namespace sonvex::core {

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

// The bytes of a text field, which the command refers to but does not own:
// whoever builds a command keeps its texts alive (see copy_texts).
struct TextView {
    const char* data;
    std::size_t size;
};

// One field's value; the family of its kind says which member holds it:
// integers (unsigned ones with their bits unchanged), booleans (0 or 1) and
// enumeration numbers in `number`, constants in `constant`, texts in `text`.
union FieldValue {
    std::int64_t number;
    const Constant* constant;
    TextView text;
};

// A complete command: its variant and one value per field of its row, with a
// bit per field that is present. Small and trivially copyable; immutable
// once built.
struct Command {
    Variant variant{};
    bool ascii = true;           // every text it holds is ASCII
    std::uint16_t present = 0;   // bit i: field i holds a value
    std::array<FieldValue, kMaxFields> fields;  // only fields that are present are read

    static_assert(kMaxFields <= 16, "one bit per field in `present`");

    const CommandSpec& spec() const { return spec_of(variant); }
    bool has(std::size_t field) const { return present >> field & 1u; }
    std::string_view text(std::size_t field) const {
        return {fields[field].text.data, fields[field].text.size};
    }

    void set_number(std::size_t field, std::int64_t value) {
        fields[field].number = value;
        present |= static_cast<std::uint16_t>(1u << field);
    }
    void set_constant(std::size_t field, const Constant* constant) {
        fields[field].constant = constant;
        present |= static_cast<std::uint16_t>(1u << field);
        ascii = ascii && (!constant || is_ascii(constant->value));
    }
    // Refers to the bytes of `value`, which must outlive the command (or be
    // copied with copy_texts).
    void set_text(std::size_t field, LineText value) {
        fields[field].text = {value.bytes.data(), value.bytes.size()};
        present |= static_cast<std::uint16_t>(1u << field);
        ascii = ascii && value.ascii;
    }
    void set_text(std::size_t field, std::string_view value) {
        set_text(field, LineText{value, is_ascii(value)});
    }
};

// ---------------------------------------------------------------------------
// Rendering. The wire text of a command is its command word, then for every
// field that is present a space, its key and "=" if it has one, and its
// value. Each command has its own rendering code, generated from its row.

namespace detail {

template <Kind K>
std::string_view value_text(const FieldValue& value) {
    if constexpr (family_of(K) == Family::Text) {
        return {value.text.data, value.text.size};
    } else {
        return value.constant ? value.constant->value : std::string_view();
    }
}

// The most bytes the value of a field of kind K can take.
template <Kind K>
std::size_t value_room(const FieldValue& value) {
    if constexpr (written_as_text(K)) {
        return value_text<K>(value).size();
    } else {
        return kMaxDecimal;  // booleans are written as 0 or 1
    }
}

// Short texts, the usual ones, without a call.
inline char* put_text(char* out, std::string_view text) {
    return short_bytes::put(out, text.data(), text.size());
}

template <Kind K>
char* put_value(char* out, const FieldValue& value) {
    if constexpr (written_as_text(K)) {
        return put_text(out, value_text<K>(value));
    } else if constexpr (kSignedKind<K>) {
        return put_signed(out, value.number);
    } else {
        // Unsigned integers, booleans and enumeration numbers.
        return put_unsigned(out, static_cast<std::uint64_t>(value.number));
    }
}

template <std::size_t I, std::size_t J>
constexpr const FieldSpec& field_spec() {
    return kCatalogue[I].fields[J];
}

// Whether field J of command I is written: required fields always are.
template <std::size_t I, std::size_t J>
bool written(const Command& command) {
    return field_spec<I, J>().use == Use::Required || command.has(J);
}

// Room for the element of field J of command I: the space, the key and "="
// and the value.
template <std::size_t I, std::size_t J>
std::size_t element_room(const Command& command) {
    constexpr const FieldSpec& f = field_spec<I, J>();
    constexpr std::size_t framing = 1 + (f.key.empty() ? 0 : f.key.size() + 1);
    if constexpr (written_as_text(f.kind)) {
        return written<I, J>(command) ? framing + value_room<f.kind>(command.fields[J]) : 0;
    } else {
        return framing + kMaxDecimal;  // whether written or not: no need to look
    }
}

// What goes before the value of field J of command I: " " and, for a keyed
// field, its key and "=", as one constant written in one go. (A local
// constant rather than a variable template, which would be read through the
// global offset table.)
template <std::size_t I, std::size_t J>
constexpr auto prefix_of() {
    constexpr std::string_view key = field_spec<I, J>().key;
    std::array<char, 1 + (key.empty() ? 0 : key.size() + 1)> text{};
    text[0] = ' ';
    for (std::size_t i = 0; i < key.size(); ++i) text[1 + i] = key[i];
    if (!key.empty()) text.back() = '=';
    return text;
}

// A number field that holds its default, which is what most calls leave
// it at, is written as one constant made at compile time: prefix and
// digits.
template <std::size_t I, std::size_t J>
constexpr bool default_written_as_constant() {
    constexpr const FieldSpec& f = field_spec<I, J>();
    return f.has_default && !written_as_text(f.kind);
}

template <std::size_t I, std::size_t J>
constexpr auto default_element_of() {
    constexpr const FieldSpec& f = field_spec<I, J>();
    constexpr bool is_signed = kSignedKind<f.kind>;
    constexpr bool minus = is_signed && f.default_value < 0;
    constexpr std::uint64_t digits_of =
        is_signed ? magnitude(f.default_value) : static_cast<std::uint64_t>(f.default_value);
    constexpr auto prefix = prefix_of<I, J>();
    std::array<char, prefix.size() + (minus ? 1 : 0) + digit_count(digits_of)> text{};
    std::size_t n = 0;
    for (const char c : prefix) text[n++] = c;
    if (minus) text[n++] = '-';
    std::uint64_t value = digits_of;
    for (std::size_t end = text.size(); end > n; value /= 10) text[--end] = static_cast<char>('0' + value % 10);
    return text;
}

template <std::size_t I, std::size_t J>
char* put_element(char* out, const Command& command) {
    constexpr const FieldSpec& f = field_spec<I, J>();
    if (!written<I, J>(command)) return out;
    if constexpr (default_written_as_constant<I, J>()) {
        if (command.fields[J].number == f.default_value) {
            constexpr auto element = default_element_of<I, J>();
            std::memcpy(out, element.data(), element.size());
            return out + element.size();
        }
    }
    constexpr auto prefix = prefix_of<I, J>();
    std::memcpy(out, prefix.data(), prefix.size());
    return put_value<f.kind>(out + prefix.size(), command.fields[J]);
}

}  // namespace detail

// The most bytes the wire text of command I can take: its fixed parts and
// numbers at their longest, and the texts it holds.
template <std::size_t I>
std::size_t max_length_of(const Command& command) {
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return kCatalogue[I].variant.size() + (detail::element_room<I, J>(command) + ... + 0);
    }(std::make_index_sequence<kCatalogue[I].fields.size()>{});
}

// Writes the wire text of command I (at most max_length_of<I> bytes) at
// `out`; returns its end.
template <std::size_t I>
char* render_of(const Command& command, char* out) {
    out = put(out, kCatalogue[I].variant);
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        ((out = detail::put_element<I, J>(out, command)), ...);
    }(std::make_index_sequence<kCatalogue[I].fields.size()>{});
    return out;
}

// The rendering code of every command is compiled once, in command.cpp; the
// client's command methods call it there rather than compile it again.
#define COMMAND(Name, ...) \
    extern template char* render_of<static_cast<std::size_t>(Variant::Name)>(const Command&, char*);
#include "core/catalogue.def"

// The same for a command of any variant: max_length, render_to and render
// (command_fwd.hpp), and the wire text as a new string.
inline std::string render(const Command& command) {
    std::string out;
    render(command, out);
    return out;
}

// Text storage of command I (for any variant: text_bytes and copy_texts,
// command_fwd.hpp).
template <std::size_t I>
std::size_t text_bytes_of(const Command& command) {
    return [&]<std::size_t... J>(std::index_sequence<J...>) {
        return ((family_of(kCatalogue[I].fields[J].kind) == Family::Text && command.has(J)
                     ? command.fields[J].text.size
                     : 0) +
                ... + std::size_t{0});
    }(std::make_index_sequence<kCatalogue[I].fields.size()>{});
}

template <std::size_t I>
void copy_texts_of(Command& command, char* storage) {
    [&]<std::size_t... J>(std::index_sequence<J...>) {
        [[maybe_unused]] auto copy = [&](std::size_t field) {
            TextView& text = command.fields[field].text;
            const char* kept = storage;
            storage = short_bytes::put(storage, text.data, text.size);
            text.data = kept;
        };
        ((family_of(kCatalogue[I].fields[J].kind) == Family::Text && command.has(J) ? copy(J)
                                                                               : void()),
         ...);
    }(std::make_index_sequence<kCatalogue[I].fields.size()>{});
}

}  // namespace sonvex::core
