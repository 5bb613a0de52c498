#include "Sha256.h"

#include <nettle/sha2.h>

#include <cstdint>

std::string Sha256Hex(const std::string& bytes)
{
    struct sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof(digest), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * sizeof(digest));
    for (uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 0x0F];
    }
    return text;
}
