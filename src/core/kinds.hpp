// The kinds of command fields, read from kinds.def: for each kind the C++
// type of its values and its family, which together say how a value is
// stored in a command, written on a command line and converted from Python.
// No Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <type_traits>

#include "core/utf8.hpp"
#include "core/values.hpp"

namespace sonvex::core {

enum class Family : std::uint8_t { Integer, Boolean, Text, Enumeration, Constant };

enum class Kind : std::uint8_t {
#define KIND(Name, Type, Family, Annotation) Name,
#include "core/kinds.def"
};

// What kinds.def says of kind K.
template <Kind K>
struct KindTraits;
#define KIND(Name, Type, Fam, Annotation)                          \
    template <>                                                    \
    struct KindTraits<Kind::Name> {                                \
        using type = Type;                                         \
        static constexpr Family family = Family::Fam;              \
        static constexpr std::string_view name = #Name;            \
        static constexpr std::string_view annotation = #Annotation; \
    };
#include "core/kinds.def"

template <Kind K>
using ValueOf = typename KindTraits<K>::type;

inline constexpr Family kFamilies[] = {
#define KIND(Name, Type, Fam, Annotation) Family::Fam,
#include "core/kinds.def"
};

inline constexpr std::string_view kAnnotations[] = {
#define KIND(Name, Type, Fam, Annotation) #Annotation,
#include "core/kinds.def"
};

inline constexpr std::size_t kKindCount = std::size(kFamilies);

constexpr Family family_of(Kind kind) { return kFamilies[static_cast<std::size_t>(kind)]; }

// The name of the Python class of an enumeration or constant kind.
constexpr std::string_view class_name_of(Kind kind) {
    return kAnnotations[static_cast<std::size_t>(kind)];
}

// Texts and constants are written as text; every other kind as digits.
constexpr bool written_as_text(Kind kind) {
    return family_of(kind) == Family::Text || family_of(kind) == Family::Constant;
}

// An integer kind whose values may be negative.
template <Kind K>
inline constexpr bool kSignedKind = KindTraits<K>::family == Family::Integer &&
                                    std::is_signed_v<ValueOf<K>>;

// Integers of every kind are held in 64 bits (see Command): unsigned ones
// keep their bits and are written back as unsigned.
#define KIND(Name, Type, Fam, Annotation)                                         \
    static_assert(Family::Fam != Family::Integer ||                               \
                      (std::is_integral_v<Type> && sizeof(Type) <= 8),            \
                  "integer kind " #Name " does not fit a 64-bit field");
#include "core/kinds.def"

}  // namespace sonvex::core
