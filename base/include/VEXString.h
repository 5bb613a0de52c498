#pragma once

#include <cstddef>
#include <cstdint>
#include <ios>
#include <string>
#include <vector>

// Text as 16-bit code units. Everything that leaves the process (file names,
// commands, log lines) goes through GetUTF8String first; lengths and positions
// always count units, never bytes or characters.
class VEXString : public std::u16string
{
public:
    typedef char16_t VEXChar;

    // Encoding of a narrow source text.
    enum VEXCharEncodingType {
        eSingleByte = 0, // one byte, one unit
        eUTF8 = 1,
    };

    VEXString() = default;
    // Null gives an empty text. Bytes up to the terminating zero are decoded.
    VEXString(const char* text, VEXCharEncodingType type = eUTF8);
    VEXString(const std::string& text, VEXCharEncodingType type = eUTF8);
    VEXString(const std::u16string& units);
    // Null gives an empty text.
    VEXString(const char16_t* units);
    // Each wide character is truncated to one unit; null gives an empty text.
    VEXString(const wchar_t* text);
    VEXString(const VEXString& other) = default;
    VEXString(VEXString&& other) noexcept = default;
    VEXString& operator=(const VEXString& other) = default;
    VEXString& operator=(VEXString&& other) noexcept = default;
    virtual ~VEXString() = default;

    // Each unit widened unchanged (surrogates are not combined).
    std::wstring GetWstring() const;
    std::string GetUTF8String() const;

    static size_type GetNPos() { return npos; }

    // True if any unit of `set` occurs at or after `start`.
    bool ContainsAny(const VEXString& set, size_type start = 0) const;
    // Empty when `pos` lies beyond the end.
    VEXString SubString(size_type pos, size_type count = npos) const;
    // Splits at any unit of `delimiters`, skipping empty pieces, and appends
    // the pieces to `out`. False only for an empty delimiter set.
    bool SubStrings(const VEXString& delimiters, std::vector<VEXString>& out) const;
    // Replaces every occurrence of `from` (left to right, no rescanning of
    // the inserted text); an empty `from` changes nothing.
    void ReplaceAll(const VEXString& from, const VEXString& to);
    // Removes leading and trailing units found in `set`.
    void TrimWhiteSpaces(const VEXString& set = VEXString(" \t\r\n"));
    // Parses the text with a wide input stream, `manipulator` applied first;
    // 0 when nothing parses.
    int32_t GetIntValue(std::ios_base& (*manipulator)(std::ios_base&) = std::dec) const;
    double GetDoubleValue() const;
    // Copies at most `length` bytes of the UTF-8 form into `buffer`, adds a
    // terminating zero when there is room for it, and sets `length` to the
    // number of text bytes copied. False for a null buffer or zero length.
    bool GetCString(char* buffer, size_t& length) const;
    // Any of the 32 ASCII punctuation characters.
    bool ContainsSpecialCharacters() const;
    // Non-empty and none of \ / : ? % * < " > |
    bool IsPermissableFileName() const;

    void AppendNumber(int32_t value, const char* format = "%d");
    void AppendNumber(int64_t value);
    void AppendNumber(int64_t value, const char* format);
    void AppendUNumber(uint32_t value, const char* format = "%u");
    void AppendUNumber(uint64_t value);
    void AppendUNumber(uint64_t value, const char* format);

    VEXString& operator+=(const char* utf8);
    using std::u16string::operator+=;

    // Exact UTF-8 decoding of a byte range (no terminating zero needed).
    static VEXString FromUTF8(const char* bytes, size_t length);
};

// Equal means same length and same units; narrow texts are taken as UTF-8.
bool operator==(const VEXString& lhs, const char* rhs);
bool operator==(const char* lhs, const VEXString& rhs);
bool operator!=(const VEXString& lhs, const char* rhs);
bool operator!=(const char* lhs, const VEXString& rhs);
bool operator==(const VEXString& lhs, const wchar_t* rhs);
bool operator==(const wchar_t* lhs, const VEXString& rhs);
bool operator!=(const VEXString& lhs, const wchar_t* rhs);
bool operator!=(const wchar_t* lhs, const VEXString& rhs);

VEXString operator+(const VEXString& lhs, const VEXString& rhs);
VEXString operator+(const VEXString& lhs, const char* rhs);
VEXString operator+(const char* lhs, const VEXString& rhs);
VEXString operator+(const VEXString& lhs, const wchar_t* rhs);
VEXString operator+(const wchar_t* lhs, const VEXString& rhs);
