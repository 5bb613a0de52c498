#include "VEXString.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace
{

const char16_t kReplacement = 0xFFFD;

// Decodes a UTF-8 byte range. Continuation bytes are taken as they come
// (only their low six bits count), so stray bytes never stop the conversion.
// What the rules leave open: a lead byte above 0xF7 and a sequence cut short
// by the end of the input each become U+FFFD, the latter consuming the rest;
// a four-byte form whose value fits one unit gives that unit, and one beyond
// U+10FFFF gives U+FFFD, because neither has a valid surrogate split.
void DecodeUTF8(const unsigned char* in, size_t length, std::u16string& out)
{
    out.reserve(out.size() + length);
    size_t i = 0;
    while (i < length) {
        const unsigned lead = in[i];
        size_t follow;
        if (lead < 0x80) {
            out.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        } else if (lead <= 0xDF) {
            follow = 1;
        } else if (lead <= 0xEF) {
            follow = 2;
        } else if (lead <= 0xF7) {
            follow = 3;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        if (length - i - 1 < follow) {
            out.push_back(kReplacement);
            break;
        }
        const unsigned b1 = in[i + 1] & 0x3Fu;
        if (follow == 1) {
            out.push_back(static_cast<char16_t>(((lead & 0x1Fu) << 6) | b1));
        } else if (follow == 2) {
            const unsigned b2 = in[i + 2] & 0x3Fu;
            out.push_back(static_cast<char16_t>(((lead << 12) & 0xFFFFu) | (b1 << 6) | b2));
        } else {
            const uint32_t cp = ((lead & 0x7u) << 18) | (b1 << 12) | ((in[i + 2] & 0x3Fu) << 6) |
                                (in[i + 3] & 0x3Fu);
            if (cp < 0x10000) {
                out.push_back(static_cast<char16_t>(cp));
            } else if (cp > 0x10FFFF) {
                out.push_back(kReplacement);
            } else {
                const uint32_t v = cp - 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
            }
        }
        i += follow + 1;
    }
}

bool IsHighSurrogate(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(again);
    return text;
}

// The caller's format is trusted to match the value, as with printf itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template <typename T> std::string FormatValue(const char* format, T value)
{
    if (format == nullptr) {
        return std::string();
    }
    const int needed = std::snprintf(nullptr, 0, format, value);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::snprintf(&text[0], text.size(), format, value);
        text.resize(static_cast<size_t>(needed));
    }
    return text;
}
#pragma GCC diagnostic pop

} // namespace

VEXString::VEXString(const char* text, VEXCharEncodingType type)
{
    if (text == nullptr) {
        return;
    }
    const size_t length = std::strlen(text);
    if (type == eUTF8) {
        DecodeUTF8(reinterpret_cast<const unsigned char*>(text), length, *this);
    } else {
        // Single-byte text: every byte, above 0x7F too, is its own unit.
        reserve(length);
        for (size_t i = 0; i < length; ++i) {
            push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
        }
    }
}

VEXString::VEXString(const std::string& text, VEXCharEncodingType type)
{
    if (type == eUTF8) {
        DecodeUTF8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), *this);
    } else {
        reserve(text.size());
        for (unsigned char c : text) {
            push_back(static_cast<char16_t>(c));
        }
    }
}

VEXString::VEXString(const std::u16string& units) : std::u16string(units) {}

VEXString::VEXString(const char16_t* units)
{
    if (units != nullptr) {
        assign(units);
    }
}

VEXString::VEXString(const wchar_t* text)
{
    if (text == nullptr) {
        return;
    }
    for (; *text != L'\0'; ++text) {
        push_back(static_cast<char16_t>(static_cast<uint32_t>(*text) & 0xFFFFu));
    }
}

VEXString VEXString::FromUTF8(const char* bytes, size_t length)
{
    VEXString text;
    if (bytes != nullptr) {
        DecodeUTF8(reinterpret_cast<const unsigned char*>(bytes), length, text);
    }
    return text;
}

std::wstring VEXString::GetWstring() const
{
    std::wstring wide;
    wide.reserve(size());
    for (char16_t u : *this) {
        wide.push_back(static_cast<wchar_t>(u));
    }
    return wide;
}

std::string VEXString::GetUTF8String() const
{
    std::string out;
    out.reserve(size() * 2);
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) {
        const uint32_t u = (*this)[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else if (IsHighSurrogate(static_cast<char16_t>(u)) && i + 1 < n &&
                   IsLowSurrogate((*this)[i + 1])) {
            const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + ((*this)[i + 1] - 0xDC00u);
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            ++i;
        } else {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

bool VEXString::ContainsAny(const VEXString& set, size_type start) const
{
    // A start past this text's end simply finds nothing.
    if (set.empty()) {
        return false;
    }
    return find_first_of(set, start) != npos;
}

VEXString VEXString::SubString(size_type pos, size_type count) const
{
    if (pos > size()) {
        return VEXString();
    }
    return VEXString(substr(pos, count));
}

bool VEXString::SubStrings(const VEXString& delimiters, std::vector<VEXString>& out) const
{
    if (delimiters.empty()) {
        return false;
    }
    size_type pos = 0;
    while (pos < size()) {
        const size_type end = find_first_of(delimiters, pos);
        const size_type stop = end == npos ? size() : end;
        if (stop > pos) {
            out.push_back(VEXString(substr(pos, stop - pos)));
        }
        if (end == npos) {
            break;
        }
        pos = end + 1;
    }
    return true;
}

void VEXString::ReplaceAll(const VEXString& from, const VEXString& to)
{
    if (from.empty()) {
        return;
    }
    size_type pos = 0;
    while ((pos = find(from, pos)) != npos) {
        replace(pos, from.size(), to);
        pos += to.size();
    }
}

void VEXString::TrimWhiteSpaces(const VEXString& set)
{
    const size_type first = find_first_not_of(set);
    if (first == npos) {
        clear();
        return;
    }
    const size_type last = find_last_not_of(set);
    assign(substr(first, last - first + 1));
}

int32_t VEXString::GetIntValue(std::ios_base& (*manipulator)(std::ios_base&)) const
{
    std::wistringstream stream(GetWstring());
    if (manipulator != nullptr) {
        stream >> manipulator;
    }
    int32_t value = 0;
    stream >> value;
    return value;
}

double VEXString::GetDoubleValue() const
{
    std::wistringstream stream(GetWstring());
    double value = 0.0;
    stream >> value;
    return value;
}

bool VEXString::GetCString(char* buffer, size_t& length) const
{
    if (buffer == nullptr || length == 0) {
        return false;
    }
    const std::string utf8 = GetUTF8String();
    const size_t copied = utf8.size() < length ? utf8.size() : length;
    std::memcpy(buffer, utf8.data(), copied);
    if (copied < length) {
        buffer[copied] = '\0';
    }
    length = copied;
    return true;
}

bool VEXString::ContainsSpecialCharacters() const
{
    static const VEXString kPunctuation("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~");
    return find_first_of(kPunctuation) != npos;
}

bool VEXString::IsPermissableFileName() const
{
    static const VEXString kForbidden("\\/:?%*<\">|");
    return !empty() && find_first_of(kForbidden) == npos;
}

void VEXString::AppendNumber(int32_t value, const char* format)
{
    *this += FormatValue(format, value).c_str();
}

void VEXString::AppendNumber(int64_t value)
{
    *this += Format("%" PRId64, value).c_str();
}

void VEXString::AppendNumber(int64_t value, const char* format)
{
    *this += FormatValue(format, value).c_str();
}

void VEXString::AppendUNumber(uint32_t value, const char* format)
{
    *this += FormatValue(format, value).c_str();
}

void VEXString::AppendUNumber(uint64_t value)
{
    *this += Format("%" PRIu64, value).c_str();
}

void VEXString::AppendUNumber(uint64_t value, const char* format)
{
    *this += FormatValue(format, value).c_str();
}

VEXString& VEXString::operator+=(const char* utf8)
{
    append(VEXString(utf8));
    return *this;
}

bool operator==(const VEXString& lhs, const char* rhs)
{
    return static_cast<const std::u16string&>(lhs) == VEXString(rhs);
}
bool operator==(const char* lhs, const VEXString& rhs)
{
    return rhs == lhs;
}
bool operator!=(const VEXString& lhs, const char* rhs)
{
    return !(lhs == rhs);
}
bool operator!=(const char* lhs, const VEXString& rhs)
{
    return !(rhs == lhs);
}

bool operator==(const VEXString& lhs, const wchar_t* rhs)
{
    return static_cast<const std::u16string&>(lhs) == VEXString(rhs);
}
bool operator==(const wchar_t* lhs, const VEXString& rhs)
{
    return rhs == lhs;
}
bool operator!=(const VEXString& lhs, const wchar_t* rhs)
{
    return !(lhs == rhs);
}
bool operator!=(const wchar_t* lhs, const VEXString& rhs)
{
    return !(rhs == lhs);
}

VEXString operator+(const VEXString& lhs, const VEXString& rhs)
{
    VEXString result(lhs);
    result.append(rhs);
    return result;
}
VEXString operator+(const VEXString& lhs, const char* rhs)
{
    return lhs + VEXString(rhs);
}
VEXString operator+(const char* lhs, const VEXString& rhs)
{
    return VEXString(lhs) + rhs;
}
VEXString operator+(const VEXString& lhs, const wchar_t* rhs)
{
    return lhs + VEXString(rhs);
}
VEXString operator+(const wchar_t* lhs, const VEXString& rhs)
{
    return VEXString(lhs) + rhs;
}
