// The transcript's own format: lines written and read back, and every kind
// of damage caught at the line where it is.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Transcript.h"

namespace
{

using lumorecord::Entry;
using lumorecord::Line;
using lumorecord::ParseTranscript;
using lumorecord::Transcript;

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl - at + 1));
        at = nl + 1;
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines)
        out += l;
    return out;
}

// A header and four entries, chained as the writer chains them.
std::string Sample()
{
    uint32_t chain = lumorecord::kChainStart;
    std::string text;
    Line header;
    header.add("format", lumorecord::kFormatName).add("version", 1).add("run", "00112233");
    text += header.seal(chain, &chain);
    for (int i = 0; i < 4; ++i) {
        Line l;
        l.add("b", i % 2 ? "ipmi" : "storelib").add("ev", "call").add("n", i).add("t_us", 10 * i);
        text += l.seal(chain, &chain);
    }
    return text;
}

TEST(TranscriptLine, ValuesComeBackAsWritten)
{
    const std::string awkward = std::string("quote\" back\\slash \x01\x7f\xff end", 25);
    Line l;
    l.add("text", awkward).add("neg", -5).add("big", INT64_MAX).add("hex", "00ff");
    const std::string sealed = l.seal(0);
    ASSERT_EQ(sealed.back(), '\n');
    Entry e;
    std::string error;
    ASSERT_TRUE(lumorecord::ParseObject(sealed.substr(0, sealed.size() - 1), e, error)) << error;
    EXPECT_EQ(e.str("text"), awkward);
    EXPECT_EQ(e.num("neg"), -5);
    EXPECT_EQ(e.num("big"), INT64_MAX);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(e.bytes("hex", bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xff}));
    // One line per entry, whatever the text holds.
    EXPECT_EQ(sealed.find('\n'), sealed.size() - 1);
}

TEST(TranscriptLine, ObjectsOfAnotherShapeAreRefused)
{
    const std::vector<std::string> bad = {
        R"({"a":{"b":1}})",
        R"({"a":1.5})",
        R"({"a":1e3})",
        R"({"a":01})",
        R"({"a":1,"a":2})",
        R"({"a":true})",
        R"({"a":"x"} tail)",
        R"({"a":"\u0100"})",
        R"({"a":"open)",
        R"({a:1})",
        R"({"a":99999999999999999999})",
        R"([1])",
    };
    for (const std::string& text : bad) {
        Entry e;
        std::string error;
        EXPECT_FALSE(lumorecord::ParseObject(text, e, error)) << text;
        EXPECT_NE(error.find("column"), std::string::npos) << text;
    }
}

TEST(TranscriptFile, AnIntactTranscriptReadsBack)
{
    Transcript t;
    std::string error;
    ASSERT_TRUE(ParseTranscript(Sample(), t, error)) << error;
    EXPECT_EQ(t.version, 1);
    EXPECT_EQ(t.run, "00112233");
    ASSERT_EQ(t.entries.size(), 4u);
    EXPECT_EQ(t.entries[0].line, 2u);
    EXPECT_EQ(t.entries[3].num("n"), 3);
    EXPECT_EQ(t.entries[1].str("b"), "ipmi");
}

TEST(TranscriptFile, DamageIsNamedByItsLine)
{
    struct Case {
        const char* name;
        std::function<std::string(std::vector<std::string>)> damage;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"empty", [](std::vector<std::string>) { return std::string(); }, "line 1: empty"},
        {"cut inside the last line",
         [](std::vector<std::string> l) {
             l[4].resize(l[4].size() / 2);
             return Join(l);
         },
         "line 5: cut off"},
        {"line dropped",
         [](std::vector<std::string> l) {
             l.erase(l.begin() + 2);
             return Join(l);
         },
         "line 3: checksum does not follow"},
        {"lines swapped",
         [](std::vector<std::string> l) {
             std::swap(l[2], l[3]);
             return Join(l);
         },
         "line 3: checksum does not follow"},
        {"value edited",
         [](std::vector<std::string> l) {
             l[4].replace(l[4].find("\"n\":3"), 5, "\"n\":4");
             return Join(l);
         },
         "line 5: checksum does not follow"},
        {"checksum removed",
         [](std::vector<std::string> l) {
             l[3] = "{\"b\":\"ipmi\",\"ev\":\"call\"}\n";
             return Join(l);
         },
         "line 4: no checksum"},
        {"header of another version",
         [](std::vector<std::string> l) {
             Line h;
             h.add("format", lumorecord::kFormatName).add("version", 2).add("run", "00");
             l[0] = h.seal(0);
             l.resize(1);
             return Join(l);
         },
         "line 1: format version 2"},
        {"no header",
         [](std::vector<std::string> l) {
             l.erase(l.begin());
             return Join(l);
         },
         "line 1: checksum does not follow"},
    };
    for (const Case& c : cases) {
        Transcript t;
        std::string error;
        EXPECT_FALSE(ParseTranscript(c.damage(Split(Sample())), t, error)) << c.name;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
    }
}

TEST(TranscriptFile, AnUnknownBoundaryIsRefused)
{
    uint32_t chain = 0;
    Line h;
    h.add("format", lumorecord::kFormatName).add("version", 1).add("run", "00");
    std::string text = h.seal(chain, &chain);
    Line l;
    l.add("b", "disk").add("ev", "call");
    text += l.seal(chain, &chain);
    Transcript t;
    std::string error;
    EXPECT_FALSE(ParseTranscript(text, t, error));
    EXPECT_EQ(error, "line 2: unknown boundary \"disk\"");
}

TEST(TranscriptFile, NormalisedEntriesIgnoreTimingAndChain)
{
    Transcript a;
    Transcript b;
    std::string error;
    ASSERT_TRUE(ParseTranscript(Sample(), a, error));
    std::string other = Sample();
    // The same story a little slower: other times, so other checksums.
    uint32_t chain = 0;
    std::vector<std::string> lines = Split(other);
    std::string rebuilt = lines[0];
    lumorecord::TrailingCrc(lines[0], chain);
    for (int i = 0; i < 4; ++i) {
        Line l;
        l.add("b", i % 2 ? "ipmi" : "storelib").add("ev", "call").add("n", i).add("t_us", 99 * i);
        rebuilt += l.seal(chain, &chain);
    }
    ASSERT_TRUE(ParseTranscript(rebuilt, b, error)) << error;
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(a.entries[i].normalised(), b.entries[i].normalised());
    EXPECT_NE(a.entries[1].normalised(), a.entries[2].normalised());
}

TEST(TranscriptBytes, HexAndChecksum)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(lumorecord::FromHex("00a0FF", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0xa0, 0xff}));
    EXPECT_FALSE(lumorecord::FromHex("abc", out));
    EXPECT_FALSE(lumorecord::FromHex("zz", out));
    EXPECT_EQ(lumorecord::Hex(std::vector<uint8_t>{0x0f, 0xf0}), "0ff0");
    EXPECT_EQ(lumorecord::Crc32(0, "123456789", 9), 0xCBF43926u);
}

} // namespace
