// Value types of command fields: the enumerations Channels and ECM, and the
// protocol's named constants, each of which carries the text a command line
// writes for it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace sonvex::core {

struct EnumMember {
    std::string_view name;  // attribute name on the Python class
    std::string_view repr;  // "Channels.Mono"
    std::int64_t number;
};

inline constexpr EnumMember kChannelsMembers[] = {
    {"Mono", "Channels.Mono", 1},
    {"Stereo", "Channels.Stereo", 2},
};
inline constexpr EnumMember kEcmMembers[] = {
    {"No", "ECM.No", 0},
    {"ECM64", "ECM.ECM64", 64},
    {"ECM128", "ECM.ECM128", 128},
    {"ECM256", "ECM.ECM256", 256},
};

// A named constant of the protocol. Constants live for the whole process;
// commands hold pointers to them, never copies of their texts.
struct Constant {
    std::string_view value;  // written unchanged into the command line
};

struct AudioFormatType : Constant {
    std::uint8_t bits_per_sample;
    std::uint8_t bytes_per_frame;
};

struct PayloadType : Constant {
    std::uint16_t clock_rate;
    bool dynamic;
    std::uint8_t number;
};

struct ToneType : Constant {
    std::uint16_t frequency;
    std::uint16_t frequency2;
};

struct ConstantWithDescription : Constant {
    std::string_view description;
};

// The constants this client knows. Python has no way to create or name them;
// C++ callers build commands with them directly.
namespace constants {
inline constexpr AudioFormatType kPcm16{{"PCM16"}, 16, 2};
inline constexpr AudioFormatType kAlaw{{"ALAW"}, 8, 1};
inline constexpr AudioFormatType kUlaw{{"ULAW"}, 8, 1};
inline constexpr AudioFormatType kWav{{"WAV"}, 16, 2};

inline constexpr PayloadType kPayloadPcmu{{"PCMU"}, 8000, false, 0};
inline constexpr PayloadType kPayloadPcma{{"PCMA"}, 8000, false, 8};
inline constexpr PayloadType kPayloadG722{{"G722"}, 8000, false, 9};

inline constexpr ToneType kToneDial{{"Dial"}, 425, 0};
inline constexpr ToneType kToneBusy{{"Busy"}, 425, 0};
inline constexpr ToneType kToneRingback{{"Ringback"}, 425, 0};

inline constexpr ConstantWithDescription kFaxModeAuto{{"Auto"}, "Negotiate the mode with the peer"};
inline constexpr ConstantWithDescription kSpeed14400{{"14400"}, "V.17 at 14400 bit/s"};
inline constexpr ConstantWithDescription kSpeed9600{{"9600"}, "V.29 at 9600 bit/s"};
inline constexpr ConstantWithDescription kPaperA4{{"A4"}, "ISO A4, 210 mm x 297 mm"};
inline constexpr ConstantWithDescription kPaperLetter{{"Letter"}, "US Letter, 8.5 in x 11 in"};
inline constexpr ConstantWithDescription kResolutionFine{{"Fine"}, "204 x 196 dpi"};
inline constexpr ConstantWithDescription kResolutionStandard{{"Standard"}, "204 x 98 dpi"};
inline constexpr ConstantWithDescription kTransformFit{{"Fit"}, "Scale the page to the paper"};
inline constexpr ConstantWithDescription kDocumentTiff{{"TIFF"}, "Tagged Image File Format"};
}  // namespace constants

}  // namespace sonvex::core
