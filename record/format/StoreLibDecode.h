#pragma once

// What the program's storage-library commands carry, read from their byte
// images: the 40-byte command record and the buffer it points to (controller
// list, device list, SCSI pass-through record). The layouts are the
// program's own (StoreLibRecords.h); nothing here trusts a length it has not
// checked against the buffer's size.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "StoreLibRecords.h"
#include "Transcript.h"

namespace lumorecord
{

constexpr size_t kCmdRecordSize = _SL_LIB_CMD_PARAM_T::kSize;
// The record without its data pointer (an address of the recording process).
constexpr size_t kCmdRecordKept = _SL_LIB_CMD_PARAM_T::kOffDataPtr;
constexpr uint32_t kResultLibraryUnavailable = storelib::kResultLibraryUnavailable;

enum class StoreLibOp { InitLib, ExitLib, PdList, PassThru, Unknown };

struct CommandView {
    StoreLibOp op = StoreLibOp::Unknown;
    uint8_t type = 0;
    uint8_t cmd = 0;
    uint32_t ctrl = 0;
    uint16_t dev = 0;     // command parameter as a device ID
    uint32_t size = 0;    // data size field
    bool hasData = false; // non-null data pointer
};

CommandView DecodeCommand(const uint8_t* record, size_t n);
// The address the record's data pointer (bytes 32..39) holds, as this
// process sees it; the record must be kCmdRecordSize bytes.
uint8_t* DataPointer(const uint8_t* record);
const char* OpName(StoreLibOp op);

// Size of the buffer the command's layout says the data pointer addresses, or
// -1 when the command is unknown or its size field does not fit its layout
// (then only the record is recorded).
long BufferSize(const CommandView& c, const uint8_t* buffer);

// Pass-through record fields; valid only when the buffer is at least 64 bytes.
struct PassThruView {
    uint16_t dev = 0;
    uint8_t dir = 0;
    uint8_t status = 0;
    uint8_t cdbLength = 0;
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> sense; // empty when all zero
    uint32_t dataLength = 0;
    std::string scsi;      // INQUIRY, INQUIRY_VPD80, READ_BUFFER, WRITE_BUFFER or CDB_xx
    uint32_t wbOffset = 0; // WRITE BUFFER: buffer offset
    uint32_t wbLength = 0; // WRITE BUFFER: parameter list length
};
bool DecodePassThru(const std::vector<uint8_t>& buffer, PassThruView& out);

// Controller IDs of a controller list ("05000000,05000001"); count capped at 64.
std::string ControllerList(const std::vector<uint8_t>& buffer);
// Devices of a device list as "ID:TYPE" ("8:0d,9:1f"); count capped at 256.
std::string DeviceList(const std::vector<uint8_t>& buffer);

// Adds the decoded fields of one call to a transcript line.
void AddDecoded(Line& line, const CommandView& c, const std::vector<uint8_t>& before,
                const std::vector<uint8_t>& after, uint32_t rc);

// One-line description of a command, for divergence reports.
std::string Describe(const CommandView& c, const std::vector<uint8_t>& buffer);

// Printable text of device bytes (serial, product); other bytes as \xHH.
std::string PrintableText(const uint8_t* p, size_t n);
// The same for any text a transcript holds, before it reaches a terminal.
std::string PrintableText(const std::string& text);

} // namespace lumorecord
