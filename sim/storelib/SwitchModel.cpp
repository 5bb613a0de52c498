#include "SwitchModel.h"

#include <cstdio>
#include <cstring>

namespace storelibsim
{

std::vector<uint8_t> StandardInquiry(const Device& d)
{
    if (d.hasInquiryRaw) {
        return d.inquiryRaw;
    }
    std::vector<uint8_t> a(36, ' ');
    a[0] = d.type & 0x1F;
    a[1] = 0;
    a[2] = 6;
    a[3] = 2;
    a[4] = 31;
    a[5] = a[6] = a[7] = 0;
    for (size_t i = 0; i < 8 && i < d.vendor.size(); ++i) {
        a[8 + i] = static_cast<uint8_t>(d.vendor[i]);
    }
    for (size_t i = 0; i < 16 && i < d.product.size(); ++i) {
        a[16 + i] = static_cast<uint8_t>(d.product[i]);
    }
    std::memcpy(a.data() + 32, "SIM1", 4);
    return a;
}

std::vector<uint8_t> SerialNumberPage(const Device& d)
{
    if (d.hasVpdRaw) {
        return d.vpdRaw;
    }
    std::vector<uint8_t> a(4 + d.serial.size(), 0);
    a[0] = d.type & 0x1F;
    a[1] = 0x80;
    a[3] = static_cast<uint8_t>(d.vpdLength >= 0 ? d.vpdLength
                                                 : (d.serial.size() > 255 ? 255 : d.serial.size()));
    std::memcpy(a.data() + 4, d.serial.data(), d.serial.size());
    return a;
}

std::vector<uint8_t> RevisionRecord(const Device& d)
{
    if (d.hasReadBufferRaw) {
        return d.readBufferRaw;
    }
    std::vector<uint8_t> a(16, 0xEE);
    std::memcpy(a.data() + 12, d.revision, 4);
    return a;
}

bool IsUnitAttention(const std::vector<uint8_t>& sense)
{
    if (sense.empty()) {
        return false;
    }
    const uint8_t code = sense[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && sense.size() > 2) {
        return (sense[2] & 0x0F) == 0x06;
    }
    if ((code == 0x72 || code == 0x73) && sense.size() > 1) {
        return (sense[1] & 0x0F) == 0x06;
    }
    return false;
}

uint32_t Be24(const uint8_t* p)
{
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

std::string HexBytes(const uint8_t* p, size_t n)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof(buf), i ? " %02x" : "%02x", p[i]);
        out += buf;
    }
    return out;
}

} // namespace storelibsim
