#pragma once

// What a simulated switch answers, shared by every front of the storage
// simulator (the library in-process and the kernel-target handler), so both
// play the same device from the same topology.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Topology.h"

namespace storelibsim
{

// Standard INQUIRY data (36 bytes) or the device's raw override.
std::vector<uint8_t> StandardInquiry(const Device& d);
// Unit Serial Number VPD page (80h) or the raw override.
std::vector<uint8_t> SerialNumberPage(const Device& d);
// The vendor revision record READ BUFFER mode 01h, buffer E6h returns:
// revision numbers at bytes 12..15.
std::vector<uint8_t> RevisionRecord(const Device& d);

// A unit attention tells the initiator that the command did not run.
bool IsUnitAttention(const std::vector<uint8_t>& sense);

// A 24-bit big-endian CDB field (buffer offsets and lengths).
uint32_t Be24(const uint8_t* p);
// Bytes as both fronts' traces show them: "3b 02 00".
std::string HexBytes(const uint8_t* p, size_t n);

} // namespace storelibsim
