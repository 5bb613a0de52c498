#include "VEXString.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace
{

std::u16string Units(std::initializer_list<char16_t> units)
{
    return std::u16string(units);
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
        out += ' ';
    }
    return out;
}

std::string Hex(const std::u16string& units)
{
    std::string out;
    char buffer[8];
    for (char16_t u : units) {
        snprintf(buffer, sizeof(buffer), "%04X ", static_cast<unsigned>(u));
        out += buffer;
    }
    return out;
}

struct DecodeCase {
    const char* name;
    std::string bytes;
    std::u16string units;
    bool reencodesToSameBytes;
};

const std::vector<DecodeCase>& DecodeCases()
{
    static const std::vector<DecodeCase> cases = {
        {"ascii", "Az~", Units({u'A', u'z', u'~'}), true},
        {"e acute", "\xC3\xA9", Units({0x00E9}), true},
        {"last two-byte", "\xDF\xBF", Units({0x07FF}), true},
        {"first three-byte", "\xE0\xA0\x80", Units({0x0800}), true},
        {"last BMP unit", "\xEF\xBF\xBF", Units({0xFFFF}), true},
        {"emoji to surrogate pair", "\xF0\x9F\x98\x80", Units({0xD83D, 0xDE00}), true},
        {"first supplementary", "\xF0\x90\x80\x80", Units({0xD800, 0xDC00}), true},
        {"last code point", "\xF4\x8F\xBF\xBF", Units({0xDBFF, 0xDFFF}), true},
        {"mixed widths", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z",
         Units({u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00, u'z'}), true},
        // Three-byte forms of surrogates are taken at face value.
        {"encoded lone high surrogate", "\xED\xA0\x80", Units({0xD800}), true},
        {"encoded lone low surrogate", "\xED\xBF\xBF", Units({0xDFFF}), true},
        // Overlong forms are not rejected: they decode to their value.
        {"overlong two-byte A", "\xC1\x81", Units({u'A'}), false},
        {"overlong three-byte A", "\xE0\x81\x81", Units({u'A'}), false},
        {"overlong four-byte A", "\xF0\x80\x81\x81", Units({u'A'}), false},
        {"overlong four-byte BMP", "\xF0\x82\x82\xAC", Units({0x20AC}), false},
        // Continuation bytes are not checked; only their low six bits count.
        {"bad continuation", "\xC3\x41", Units({0x00C1}), false},
        {"stray continuation as lead", "\xBF\xBFx", Units({0x07FF, u'x'}), false},
        {"lead above F7",
         "\xF8"
         "A",
         Units({0xFFFD, u'A'}), false},
        {"lone FF", "\xFF", Units({0xFFFD}), false},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", Units({0xFFFD}), false},
        {"largest four-byte value", "\xF7\xBF\xBF\xBFq", Units({0xFFFD, u'q'}), false},
        {"cut two-byte", "\xC3", Units({0xFFFD}), false},
        {"cut three-byte after text", "A\xE2\x82", Units({u'A', 0xFFFD}), false},
        {"cut four-byte", "\xF0\x9F\x98", Units({0xFFFD}), false},
        {"cut four-byte, one byte", "ok\xF0", Units({u'o', u'k', 0xFFFD}), false},
    };
    return cases;
}

TEST(VEXStringUTF8, DecodesByteRanges)
{
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.name);
        const VEXString text = VEXString::FromUTF8(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(Hex(c.units), Hex(text));
        if (c.reencodesToSameBytes) {
            EXPECT_EQ(Hex(c.bytes), Hex(text.GetUTF8String()));
        }
    }
}

TEST(VEXStringUTF8, NarrowConstructorsAgreeWithRangeDecoding)
{
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Hex(c.units), Hex(VEXString(c.bytes.c_str(), VEXString::eUTF8)));
        EXPECT_EQ(Hex(c.units), Hex(VEXString(c.bytes)));
    }
}

// A sequence cut short by the terminating zero must not read past it: the
// buffers are exactly as long as the text, so a sanitizer build catches any
// read beyond.
TEST(VEXStringUTF8, SequenceCutByTerminatorStopsAtIt)
{
    const std::vector<std::vector<char>> inputs = {
        {'\xC3', '\0'}, {'\xE2', '\x82', '\0'}, {'\xF0', '\0'}, {'\xF0', '\x9F', '\x98', '\0'}};
    for (const auto& input : inputs) {
        std::unique_ptr<char[]> exact(new char[input.size()]);
        std::copy(input.begin(), input.end(), exact.get());
        EXPECT_EQ(Hex(Units({0xFFFD})), Hex(VEXString(exact.get())));
    }
    const char withTail[] = {'\xE2', '\x82', '\0', 'X', 'Y', '\0'};
    EXPECT_EQ(Hex(Units({0xFFFD})), Hex(VEXString(withTail)));
}

TEST(VEXStringUTF8, NullAndEmptySourcesGiveEmptyText)
{
    EXPECT_TRUE(VEXString(static_cast<const char*>(nullptr)).empty());
    EXPECT_TRUE(VEXString(static_cast<const wchar_t*>(nullptr)).empty());
    EXPECT_TRUE(VEXString(static_cast<const char16_t*>(nullptr)).empty());
    EXPECT_TRUE(VEXString::FromUTF8(nullptr, 4).empty());
    EXPECT_TRUE(VEXString("").empty());
    EXPECT_EQ("", VEXString().GetUTF8String());
}

struct EncodeCase {
    const char* name;
    std::u16string units;
    std::string bytes;
};

TEST(VEXStringUTF8, EncodesUnits)
{
    const std::vector<EncodeCase> cases = {
        {"ascii", Units({u'h', u'i'}), "hi"},
        {"zero unit", Units({0, u'a'}), std::string("\0a", 2)},
        {"last one-byte", Units({0x7F}), "\x7F"},
        {"first two-byte", Units({0x80}), "\xC2\x80"},
        {"last two-byte", Units({0x07FF}), "\xDF\xBF"},
        {"first three-byte", Units({0x0800}), "\xE0\xA0\x80"},
        {"last unit", Units({0xFFFF}), "\xEF\xBF\xBF"},
        {"surrogate pair", Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
        {"lone high", Units({0xD800}), "\xED\xA0\x80"},
        {"lone high at end", Units({u'a', 0xDBFF}), "a\xED\xAF\xBF"},
        {"lone low", Units({0xDC00, u'b'}),
         "\xED\xB0\x80"
         "b"},
        {"pair reversed", Units({0xDE00, 0xD83D}), "\xED\xB8\x80\xED\xA0\xBD"},
        {"high then pair", Units({0xD800, 0xD83D, 0xDE00}), "\xED\xA0\x80\xF0\x9F\x98\x80"},
        {"high before text", Units({0xD83D, u'x'}), "\xED\xA0\xBDx"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = VEXString(c.units).GetUTF8String();
        EXPECT_EQ(Hex(c.bytes), Hex(bytes));
        // Every unit sequence, lone surrogates included, survives the trip back.
        EXPECT_EQ(Hex(c.units), Hex(VEXString::FromUTF8(bytes.data(), bytes.size())));
    }
}

// Independent encoder for the sweep below.
std::string Reference(uint32_t cp)
{
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

TEST(VEXStringUTF8, EveryScalarValueRoundTrips)
{
    int failures = 0;
    for (uint32_t cp = 0; cp <= 0x10FFFF && failures < 5; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            continue;
        }
        const std::string bytes = Reference(cp);
        const VEXString text = VEXString::FromUTF8(bytes.data(), bytes.size());
        const size_t expectedUnits = cp < 0x10000 ? 1 : 2;
        const bool ok = text.size() == expectedUnits && text.GetUTF8String() == bytes &&
                        (cp >= 0x10000 || text[0] == cp);
        if (!ok) {
            ++failures;
            ADD_FAILURE() << "code point " << std::hex << cp;
        }
    }
}

TEST(VEXString, WideConversionKeepsUnitsApart)
{
    const VEXString pair(Units({u'a', 0xD83D, 0xDE00}));
    EXPECT_EQ(std::wstring({L'a', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}),
              pair.GetWstring());
    // Wide characters beyond 16 bits are cut to their low unit.
    const wchar_t wide[] = {L'x', static_cast<wchar_t>(0x1F600), 0};
    EXPECT_EQ(Hex(Units({u'x', 0xF600})), Hex(VEXString(wide)));
}

TEST(VEXString, SingleByteTextMapsEachByteToOneUnit)
{
    EXPECT_EQ(Hex(Units({u'a', 0x00C3, 0x00A9})),
              Hex(VEXString("a\xC3\xA9", VEXString::eSingleByte)));
}

TEST(VEXString, CopyAndSelfAssignmentKeepUnits)
{
    VEXString text("caf\xC3\xA9");
    VEXString copy(text);
    VEXString& alias = copy;
    copy = alias;
    EXPECT_EQ(text, copy);
    EXPECT_EQ("caf\xC3\xA9", copy.GetUTF8String());
}

TEST(VEXString, ComparesWithNarrowAndWideTexts)
{
    const VEXString text("caf\xC3\xA9");
    EXPECT_TRUE(text == "caf\xC3\xA9");
    EXPECT_TRUE("caf\xC3\xA9" == text);
    EXPECT_TRUE(text == L"caf\u00e9");
    EXPECT_TRUE(L"caf\u00e9" == text);
    EXPECT_TRUE(text != "cafe");
    EXPECT_TRUE(text != "caf\xC3\xA9 ");
    EXPECT_TRUE(text != L"caf");
    EXPECT_TRUE(VEXString() == "");
}

TEST(VEXString, ConcatenatesNarrowAndWideOnEitherSide)
{
    const VEXString mid("\xC3\xA9");
    EXPECT_EQ("a\xC3\xA9", ("a" + mid).GetUTF8String());
    EXPECT_EQ("\xC3\xA9z", (mid + "z").GetUTF8String());
    EXPECT_EQ("w\xC3\xA9", (L"w" + mid).GetUTF8String());
    EXPECT_EQ("\xC3\xA9w", (mid + L"w").GetUTF8String());
    EXPECT_EQ("\xC3\xA9\xC3\xA9", (mid + mid).GetUTF8String());
    VEXString grown("x");
    grown += "\xE2\x82\xAC";
    EXPECT_EQ(Hex(Units({u'x', 0x20AC})), Hex(grown));
}

TEST(VEXString, SubStringsSplitsAndSkipsEmptyPieces)
{
    struct Case {
        const char* text;
        const char* delimiters;
        std::vector<std::string> pieces;
    };
    const std::vector<Case> cases = {
        {"a,b;c", ",;", {"a", "b", "c"}},
        {",,a,,b,", ",", {"a", "b"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"whole", ",", {"whole"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<VEXString> out{VEXString("kept")};
        EXPECT_TRUE(VEXString(c.text).SubStrings(VEXString(c.delimiters), out));
        ASSERT_EQ(c.pieces.size() + 1, out.size());
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            EXPECT_EQ(c.pieces[i], out[i + 1].GetUTF8String());
        }
    }
    std::vector<VEXString> out;
    EXPECT_FALSE(VEXString("a,b").SubStrings(VEXString(), out));
    EXPECT_TRUE(out.empty());
}

TEST(VEXString, EditingMembers)
{
    VEXString text("aXbXXc");
    text.ReplaceAll(VEXString("X"), VEXString("XX"));
    EXPECT_EQ("aXXbXXXXc", text.GetUTF8String());
    text.ReplaceAll(VEXString(), VEXString("!"));
    EXPECT_EQ("aXXbXXXXc", text.GetUTF8String());

    VEXString padded(" \t value \n");
    padded.TrimWhiteSpaces();
    EXPECT_EQ("value", padded.GetUTF8String());
    VEXString blanks("  \t ");
    blanks.TrimWhiteSpaces();
    EXPECT_TRUE(blanks.empty());
    VEXString custom("--x-y--");
    custom.TrimWhiteSpaces(VEXString("-"));
    EXPECT_EQ("x-y", custom.GetUTF8String());

    EXPECT_EQ("cd", VEXString("abcdef").SubString(2, 2).GetUTF8String());
    EXPECT_EQ("ef", VEXString("abcdef").SubString(4).GetUTF8String());
    EXPECT_TRUE(VEXString("abc").SubString(9).empty());
}

TEST(VEXString, ContainsAnyLooksFromStart)
{
    const VEXString text("abcdef");
    EXPECT_TRUE(text.ContainsAny(VEXString("xa"), 0));
    EXPECT_FALSE(text.ContainsAny(VEXString("a"), 1));
    // The start is a position in this text, whatever the set's length.
    EXPECT_TRUE(text.ContainsAny(VEXString("f"), 5));
    EXPECT_FALSE(text.ContainsAny(VEXString("f"), 6));
    EXPECT_FALSE(text.ContainsAny(VEXString("f"), 100));
    EXPECT_FALSE(text.ContainsAny(VEXString(), 0));
}

TEST(VEXString, GetCStringNeverWritesPastTheGivenLength)
{
    const VEXString text("h\xC3\xA9llo");
    char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), '#');

    size_t length = sizeof(buffer);
    ASSERT_TRUE(text.GetCString(buffer, length));
    EXPECT_EQ(6u, length);
    EXPECT_STREQ("h\xC3\xA9llo", buffer);

    std::fill(std::begin(buffer), std::end(buffer), '#');
    length = 3;
    ASSERT_TRUE(text.GetCString(buffer, length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(std::string("h\xC3\xA9###"), std::string(buffer, 6));

    length = 0;
    EXPECT_FALSE(text.GetCString(buffer, length));
    length = 4;
    EXPECT_FALSE(text.GetCString(nullptr, length));
}

TEST(VEXString, CharacterClasses)
{
    EXPECT_TRUE(VEXString("a-b").ContainsSpecialCharacters());
    EXPECT_TRUE(VEXString("~").ContainsSpecialCharacters());
    EXPECT_FALSE(VEXString("abc 123").ContainsSpecialCharacters());

    EXPECT_TRUE(VEXString("report.xml").IsPermissableFileName());
    EXPECT_FALSE(VEXString().IsPermissableFileName());
    for (const char* bad :
         {"a\\b", "a/b", "a:b", "a?b", "a%b", "a*b", "a<b", "a\"b", "a>b", "a|b"}) {
        EXPECT_FALSE(VEXString(bad).IsPermissableFileName()) << bad;
    }
}

TEST(VEXString, NumbersInAndOut)
{
    VEXString text("n=");
    text.AppendNumber(int32_t{-42});
    text.AppendUNumber(uint32_t{4294967295u});
    text.AppendNumber(int64_t{-9223372036854775807LL - 1});
    text.AppendUNumber(uint64_t{18446744073709551615ULL});
    text.AppendNumber(int32_t{255}, "%04x");
    EXPECT_EQ("n=-424294967295-922337203685477580818446744073709551615"
              "00ff",
              text.GetUTF8String());

    EXPECT_EQ(123, VEXString("  123abc").GetIntValue());
    EXPECT_EQ(255, VEXString("ff").GetIntValue(std::hex));
    EXPECT_EQ(0, VEXString("zz").GetIntValue());
    EXPECT_DOUBLE_EQ(2.5, VEXString("2.5").GetDoubleValue());
    EXPECT_EQ(VEXString::npos, VEXString::GetNPos());
}

} // namespace
