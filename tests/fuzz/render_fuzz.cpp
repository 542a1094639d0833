// Fuzz target: the wire text of every command, against a plain reference
// renderer that reads the catalogue row at run time: the command word, then
// for each field that is required or present a space, "Key=" for a keyed
// field, and the value (decimal numbers, signed or not as the kind's type
// is, 0 or 1 for booleans, the member's number for enumerations, a
// constant's text, a text's bytes as they are).
//
// The input chooses the command and every field: whether an optional field
// is present, whether a field with a default holds it, and the values. The
// kinds, their families and the ranges of integers come from kinds.def, so
// a new integer kind is fuzzed over its whole range with nothing to add
// here; an enumeration or constant kind needs its values in members_of or
// constants_of (checked when the target starts).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/command.hpp"
#include "core/values.hpp"

using namespace sonvex::core;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "render fuzz: %s\n", what.c_str());
    std::abort();
}

// Reads the input a piece at a time; zeros once it is used up.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::uint64_t take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value = value << 8 | (size ? *data : 0);
            if (size) ++data, --size;
        }
        return value;
    }
};

const Constant* const kAudioFormats[] = {&constants::kPcm16, &constants::kAlaw, &constants::kUlaw,
                                         &constants::kWav};
const Constant* const kPayloads[] = {&constants::kPayloadPcmu, &constants::kPayloadPcma,
                                     &constants::kPayloadG722};
const Constant* const kTones[] = {&constants::kToneDial, &constants::kToneBusy,
                                  &constants::kToneRingback};
const Constant* const kDescribed[] = {
    &constants::kFaxModeAuto,    &constants::kSpeed14400,      &constants::kSpeed9600,
    &constants::kPaperA4,        &constants::kPaperLetter,     &constants::kResolutionFine,
    &constants::kResolutionStandard, &constants::kTransformFit, &constants::kDocumentTiff};

// What the target knows of each kind, one row per row of kinds.def.
template <class Type>
std::int64_t value_in_range(std::uint64_t raw) {
    // Every value of an integral type (negatives included), from raw bits;
    // 0 or 1 for bool.
    if constexpr (std::is_integral_v<Type>) return static_cast<std::int64_t>(static_cast<Type>(raw));
    return 0;
}

struct KindRow {
    const char* name;
    Family family;
    bool is_signed;                            // written with a "-" when negative
    std::int64_t (*from_raw)(std::uint64_t);  // a value within the kind's range
};

const KindRow kKindRows[] = {
#define KIND(Name, Type, Fam, Annotation) \
    {#Name, Family::Fam, std::is_signed_v<Type>, value_in_range<Type>},
#include "core/kinds.def"
};
static_assert(std::size(kKindRows) == kKindCount);

const KindRow& row_of(Kind kind) { return kKindRows[static_cast<std::size_t>(kind)]; }

// The members of an enumeration kind; empty for a kind it does not know.
std::span<const EnumMember> members_of(Kind kind) {
    switch (kind) {
    case Kind::Channels: return kChannelsMembers;
    case Kind::ECM: return kEcmMembers;
    default: return {};
    }
}

// The constants of a constant kind; empty for a kind it does not know.
std::span<const Constant* const> constants_of(Kind kind) {
    switch (kind) {
    case Kind::AudioFormatType: return kAudioFormats;
    case Kind::PayloadType: return kPayloads;
    case Kind::ToneType: return kTones;
    case Kind::ConstantWithDescription: return kDescribed;
    default: return {};
    }
}

// A value of the field's kind, within its range (the Python side converts to
// that range before a command is built).
std::int64_t number_of(Kind kind, Input& in) {
    const std::uint64_t raw = in.take(8);
    if (family_of(kind) != Family::Enumeration) return row_of(kind).from_raw(raw);
    const auto members = members_of(kind);
    return members[raw % members.size()].number;
}

std::string reference_render(const Command& command) {
    const CommandSpec& spec = command.spec();
    std::string out(spec.variant);
    for (std::size_t j = 0; j < spec.fields.size(); ++j) {
        const FieldSpec& field = spec.fields[j];
        if (field.use == Use::Optional && !command.has(j)) continue;
        out += ' ';
        if (!field.key.empty()) out += std::string(field.key) + "=";
        const KindRow& row = row_of(field.kind);
        if (row.family == Family::Text) {
            out += command.text(j);
        } else if (row.family == Family::Constant) {
            if (command.fields[j].constant) out += command.fields[j].constant->value;
        } else if (row.is_signed) {
            out += std::to_string(command.fields[j].number);
        } else {
            out += std::to_string(static_cast<std::uint64_t>(command.fields[j].number));
        }
    }
    return out;
}

}  // namespace

// Every enumeration and constant kind has its values here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        if ((family_of(kind) == Family::Enumeration && members_of(kind).empty()) ||
            (family_of(kind) == Family::Constant && constants_of(kind).empty()))
            fail(std::string("no values for the kind ") + kKindRows[k].name +
                 " in members_of or constants_of");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    Command command{};
    command.variant = static_cast<Variant>(in.take(1) % kCommandCount);
    const CommandSpec& spec = command.spec();
    std::vector<std::string> texts(spec.fields.size());  // what the command's texts refer to
    for (std::size_t j = 0; j < spec.fields.size(); ++j) {
        const FieldSpec& field = spec.fields[j];
        const std::uint64_t choice = in.take(1);
        if (field.use == Use::Optional && choice % 3 == 0) continue;  // absent
        if (field.has_default && choice % 3 == 1) {
            command.set_number(j, field.default_value);
        } else if (family_of(field.kind) == Family::Text) {
            const std::size_t length = static_cast<std::size_t>(in.take(1));
            for (std::size_t k = 0; k < length && in.size; ++k)
                texts[j] += static_cast<char>(in.take(1));
            command.set_text(j, texts[j]);
        } else if (family_of(field.kind) == Family::Constant) {
            const auto options = constants_of(field.kind);
            command.set_constant(j, options[in.take(1) % options.size()]);
        } else {
            command.set_number(j, number_of(field.kind, in));
        }
    }

    const std::string expected = reference_render(command);
    const std::size_t room = max_length(command);
    std::vector<char> buffer(room + 1, '\x7f');
    const char* end = render_to(command, buffer.data());
    const std::string rendered(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    if (rendered != expected)
        fail(std::string(spec.variant) + ": \"" + rendered + "\" instead of \"" + expected + "\"");
    if (rendered.size() > room) fail(std::string(spec.variant) + ": longer than max_length");
    if (buffer[room] != '\x7f') fail(std::string(spec.variant) + ": wrote past max_length");
    if (render(command) != expected) fail(std::string(spec.variant) + ": render differs");

    // The command with its texts copied into storage of its own renders the same.
    std::vector<char> storage(text_bytes(command) + 1);
    Command copy = command;
    copy_texts(copy, storage.data());
    if (render(copy) != expected) fail(std::string(spec.variant) + ": copy renders differently");
    bool ascii = true;
    for (char c : expected) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (command.ascii != ascii) fail(std::string(spec.variant) + ": ascii flag");
    return 0;
}
