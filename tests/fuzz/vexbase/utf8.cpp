// Feeds arbitrary bytes to the UTF-8 decoder and arbitrary 16-bit units to the
// encoder, and checks the properties callers rely on: decoding always ends
// and consumes everything, every unit sequence survives encode-then-decode,
// and well-formed UTF-8 survives decode-then-encode byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "VEXString.h"

namespace
{

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Strict validator, written independently of the decoder: shortest forms
// only, no surrogate code points, nothing beyond U+10FFFF.
bool IsWellFormed(const uint8_t* s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t b = s[i];
        size_t len;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

bool HasLoneSurrogate(const std::u16string& units)
{
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);

    // Bytes as UTF-8.
    const VEXString decoded = VEXString::FromUTF8(bytes, size);
    Check(decoded.size() <= size);
    const std::string encoded = decoded.GetUTF8String();
    Check(VEXString::FromUTF8(encoded.data(), encoded.size()) == decoded);
    if (IsWellFormed(data, size)) {
        Check(encoded == std::string(bytes, size));
    }
    Check(decoded.GetWstring().size() == decoded.size());

    // The zero-terminated form stops at the first zero byte and never reads
    // past it; the copy is exactly as long as the text.
    const size_t textLength = strnlen(bytes, size);
    std::unique_ptr<char[]> terminated(new char[textLength + 1]);
    std::memcpy(terminated.get(), bytes, textLength);
    terminated[textLength] = '\0';
    Check(VEXString(terminated.get()) == VEXString::FromUTF8(bytes, textLength));

    // Bytes as 16-bit units: any sequence, lone surrogates included.
    VEXString units;
    for (size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    const std::string unitBytes = units.GetUTF8String();
    Check(unitBytes.size() <= 3 * units.size());
    Check(VEXString::FromUTF8(unitBytes.data(), unitBytes.size()) == units);
    // The bytes are well-formed UTF-8 exactly when no surrogate stands alone.
    Check(IsWellFormed(reinterpret_cast<const uint8_t*>(unitBytes.data()), unitBytes.size()) ==
          !HasLoneSurrogate(units));

    // Copying into a caller's buffer never goes past the length given.
    if (size > 0) {
        size_t room = data[0] % 16 + 1;
        std::unique_ptr<char[]> buffer(new char[room]);
        const size_t given = room;
        Check(units.GetCString(buffer.get(), room));
        Check(room <= given && room == std::min(given, unitBytes.size()));
        Check(std::memcmp(buffer.get(), unitBytes.data(), room) == 0);
    }
    return 0;
}
