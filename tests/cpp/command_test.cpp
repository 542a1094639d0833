// Rendering of commands, including the constant-class fields that Python
// cannot fill, and the shape of the catalogue.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/command.hpp"

using namespace sonvex::core;

namespace {

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

// Builds a command of `variant` by field name; unknown names fail the test.
struct Builder {
    Command command;
    explicit Builder(std::string_view variant) {
        std::size_t index = find_variant(variant);
        EXPECT_LT(index, kCommandCount) << variant;
        command.variant = static_cast<Variant>(index);
    }
    std::size_t field(std::string_view name) {
        int i = find_field(command.spec(), name);
        EXPECT_GE(i, 0) << name;
        return static_cast<std::size_t>(i < 0 ? 0 : i);
    }
    Builder& num(std::string_view name, std::int64_t n) {
        command.set_number(field(name), n);
        return *this;
    }
    // Texts are literals, which outlive the command.
    Builder& text(std::string_view name, std::string_view t) {
        command.set_text(field(name), t);
        return *this;
    }
    Builder& constant(std::string_view name, const Constant& c) {
        command.set_constant(field(name), &c);
        return *this;
    }
    std::string wire() const { return render(command); }
};

}  // namespace

// The whole list, name by name, is checked from Python against a table of
// the tests' own; here, that the rows start in protocol order.
TEST(Catalogue, CommandsInProtocolOrder) {
    ASSERT_GE(kCommandCount, 54u);
    EXPECT_EQ(kCatalogue[0].variant, "ProtocolVersion");
    EXPECT_EQ(kCatalogue[2].variant, "Login");
    EXPECT_EQ(kCatalogue[15].variant, "CallMake");
    EXPECT_EQ(kCatalogue[53].variant, "GetRtpStatistics");
    EXPECT_EQ(kMaxFields, 10u);
}

TEST(Catalogue, KeysAreWordsAndOnlyTwoFieldsBreakTheKeyRule) {
    // Required values go without a key and optional ones with one, except
    // the keyed direction of ResourceCreateSoundDevice and the bare revision
    // of Login.
    std::vector<std::string> exceptions;
    for (const CommandSpec& spec : kCatalogue)
        for (const FieldSpec& f : spec.fields) {
            for (char c : f.key) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << f.key;
            if ((f.use == Use::Required) != f.key.empty())
                exceptions.push_back(std::string(spec.variant) + "." + std::string(f.name));
        }
    EXPECT_EQ(exceptions, (std::vector<std::string>{"Login.revision",
                                                     "ResourceCreateSoundDevice.direction"}));
}

TEST(Render, ConstantsWriteTheirValueText) {
    using namespace constants;
    EXPECT_EQ(Builder("PlayFile").num("resource_id", 1).text("file_name", "a.wav")
                  .constant("audio_type", kPcm16).num("channels", 2).wire(),
              "PlayFile 1 a.wav Type=PCM16 Channels=2");
    EXPECT_EQ(Builder("PlayTone").num("resource_id", 3).constant("tone", kToneBusy).wire(),
              "PlayTone 3 Tone=Busy");
    EXPECT_EQ(Builder("RtpChannelStartSending").num("resource_id", 4)
                  .text("receiver_data_address", "10.0.0.1:4000")
                  .constant("payload_type", kPayloadPcma).num("rtp_session_id", 9).wire(),
              "RtpChannelStartSending 4 10.0.0.1:4000 PayloadType=PCMA RtpSessionId=9");
    EXPECT_EQ(Builder("FaxSend").num("fax_resource_id", 3).num("frontend_resource_id", 1)
                  .num("document_resource_id", 5).constant("speed", kSpeed14400)
                  .num("use_ecm", 0).text("tsi", "+1 555").wire(),
              "FaxSend 3 1 5 Speed=14400 UseECM=0 TSI=+1 555");
    EXPECT_EQ(Builder("DocumentPrepare").num("resource_id", 2).constant("paper_size", kPaperA4)
                  .constant("resolution", kResolutionFine).wire(),
              "DocumentPrepare 2 PaperSize=A4 Resolution=Fine");
    EXPECT_EQ(Builder("DocumentSave").num("resource_id", 2).text("file_path", "/tmp/f.tif")
                  .num("multipage", 1).constant("document_type", kDocumentTiff).wire(),
              "DocumentSave 2 /tmp/f.tif Multipage=1 DocumentType=TIFF");
    EXPECT_EQ(Builder("DocumentAddFile").num("resource_id", 2).text("file_path", "p.pdf")
                  .constant("transformation", kTransformFit).wire(),
              "DocumentAddFile 2 p.pdf Transformation=Fit");
    EXPECT_EQ(Builder("FaxReceive").num("fax_resource_id", 1).num("frontend_resource_id", 2)
                  .num("document_resource_id", 3).constant("fax_mode", kFaxModeAuto).wire(),
              "FaxReceive 1 2 3 FaxMode=Auto");
}

TEST(Render, OptionalFieldsFollowTheTableOrderWhateverIsPresent) {
    EXPECT_EQ(Builder("RecorderStartToFile").num("resource_id", 1).text("file_name", "r.wav")
                  .num("pause_if_empty", 0).num("file_offset", -5).num("max_silence", 7).wire(),
              "RecorderStartToFile 1 r.wav FileOffset=-5 MaxSilence=7 PauseIfEmpty=0");
    EXPECT_EQ(Builder("Login").text("username", "u").text("password", "p").num("major", 2)
                  .num("minor", 3).num("revision", 9).wire(),
              "Login u p 2 3 9");
    EXPECT_EQ(Builder("ResourceCreateSoundDevice").text("direction", "In").wire(),
              "ResourceCreateSoundDevice Direction=In");
    EXPECT_EQ(Builder("PlayFile").num("resource_id", 1).text("file_name", "a")
                  .num("skip_bytes", INT64_MIN).wire(),
              "PlayFile 1 a SkipBytes=-9223372036854775808");
}

TEST(Render, EmptyTextsKeepTheirSeparators) {
    EXPECT_EQ(Builder("CallTransferBlind").num("resource_id", 1).text("address", "")
                  .num("use_h450", 1).wire(),
              "CallTransferBlind 1  UseH450=1");
    EXPECT_EQ(Builder("ResourceCreateTransportChannel").text("transport_type", "").wire(),
              "ResourceCreateTransportChannel ");
    EXPECT_EQ(Builder("CallMake").num("resource_id", 7).text("address", "200").num("timeout", 30)
                  .text("caller_name", "").num("privacy", 0).num("screen", 1).wire(),
              "CallMake 7 200 TimeOut=30 CallerName= Privacy=0 Screen=1");
}

TEST(Render, CommandsWithoutValuesAreBareWords) {
    for (std::string_view word : {"ProtocolVersion", "GetVersion", "Logout", "Quit",
                                  "ResourceCreatePlayer", "ResourceCreateRecorder",
                                  "ResourceCreateFax", "ResourceCreateDocument",
                                  "ResourceCreateFrontEnd", "ResourceCreateRtpChannel"})
        EXPECT_EQ(Builder(word).wire(), word);
}

TEST(Render, CopiesRenderTheSame) {
    Builder b("CallSendDTMF");
    b.num("resource_id", 4294967295).text("dtmf_string", "12#").num("duration", 0);
    Command copy = b.command;
    EXPECT_EQ(render(copy), "CallSendDTMF 4294967295 12# Duration=0");
    EXPECT_EQ(render(copy), b.wire());
}

TEST(LineBreaks, DetectsCarriageReturnAndLineFeed) {
    EXPECT_TRUE(has_line_break("a\nb"));
    EXPECT_TRUE(has_line_break("\r"));
    EXPECT_FALSE(has_line_break("a b=c\t\v\f"));
}

// The scan reads short texts in overlapping words and long ones eight bytes
// at a time: a line break or a non-ASCII byte must be seen at every position
// of every length, and bytes next to CR and LF (\t, \v, \f, 0x8a) must not
// pass for them.
TEST(LineBreaks, ScanSeesEveryPositionOfEveryLength) {
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string plain(n, 'x');
        EXPECT_EQ(scan_text(plain).line_break, false) << n;
        EXPECT_EQ(scan_text(plain).ascii, true) << n;
        for (std::size_t i = 0; i < n; ++i) {
            for (const char c : {'\n', '\r', '\t', '\v', '\f', '\0', '\x8a', '\x8d', '\xff'}) {
                std::string text = plain;
                text[i] = c;
                const TextFacts facts = scan_text(text);
                EXPECT_EQ(facts.line_break, c == '\n' || c == '\r') << n << ' ' << i << ' ' << int(c);
                EXPECT_EQ(facts.ascii, static_cast<unsigned char>(c) < 0x80) << n << ' ' << i;
            }
        }
    }
}

// Texts are copied in overlapping words up to 16 bytes: every length renders
// exactly, and so does a copy whose texts were moved into storage of its own.
TEST(Render, TextsOfEveryLength) {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string digits;
        for (std::size_t i = 0; i < n; ++i) digits += static_cast<char>('0' + i % 10);
        Builder b("CallSendDTMF");
        b.num("resource_id", 1).text("dtmf_string", digits);
        EXPECT_EQ(b.wire(), "CallSendDTMF 1 " + digits) << n;
        Command copy = b.command;
        std::string storage(text_bytes(copy), '\0');
        copy_texts(copy, storage.data());
        EXPECT_EQ(render(copy), b.wire()) << n;
    }
}

// A number at its default is written from a constant made at compile time;
// it must read exactly as the digits of any other value do.
TEST(Render, DefaultsReadAsTheirDigits) {
    int checked = 0;
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        const CommandSpec& spec = kCatalogue[i];
        for (std::size_t j = 0; j < spec.fields.size(); ++j) {
            const FieldSpec& f = spec.fields[j];
            if (!f.has_default || written_as_text(f.kind))
                continue;
            for (const std::int64_t value : {f.default_value, f.default_value + 1}) {
                Command command{};
                command.variant = static_cast<Variant>(i);
                for (std::size_t k = 0; k < spec.fields.size(); ++k) {
                    if (spec.fields[k].kind == Kind::Text)
                        command.set_text(k, "t");
                    else
                        command.set_number(k, 1);  // constants: a null one, written empty
                }
                for (std::size_t k = 0; k < spec.fields.size(); ++k)
                    if (family_of(spec.fields[k].kind) == Family::Constant)
                        command.set_constant(k, nullptr);
                command.set_number(j, value);
                std::string element = " ";
                if (!f.key.empty()) element.append(f.key).append("=");
                element += std::to_string(value);
                EXPECT_NE(render(command).find(element), std::string::npos)
                    << spec.variant << ' ' << f.name << ' ' << render(command);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 10);
}
