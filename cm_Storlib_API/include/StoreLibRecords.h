#pragma once

// Byte images of the records exchanged with the storage library. The library
// reads them as little-endian bytes at fixed offsets, so every field is written
// and read one byte at a time at its offset; nothing here depends on how the
// compiler would lay out a struct.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace storelib
{

inline void PutLE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutLE32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void PutLE64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint16_t GetLE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t GetLE32(const uint8_t* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

inline uint64_t GetLE64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Library results this layer produces itself.
constexpr uint32_t kResultLibraryUnavailable = 0x8002;
constexpr uint32_t kResultNoRecord = 3;

// Command type (record byte 0) and command (byte 1) of every record sent.
constexpr uint8_t kCmdTypeLib = 0;
constexpr uint8_t kCmdTypeCtrl = 1;
constexpr uint8_t kCmdTypePassThru = 6;
// Library commands.
constexpr uint8_t kCmdInitLib = 0; // SL_INIT_LIB: fills the controller list
constexpr uint8_t kCmdExitLib = 9;
// Controller commands.
constexpr uint8_t kCmdFlashCtrlFirmware = 3;
constexpr uint8_t kCmdGetPdList = 4;
constexpr uint8_t kCmdCtrlWord20 = 22;
// Pass-through commands.
constexpr uint8_t kCmdScsiPassThru = 0;

// Flash option of a device command that flashes nothing.
constexpr uint8_t kFlashOptionNone = 255;

// Top byte of an IT controller's ID.
constexpr uint32_t kCtrlIdIT = 0x05000000u;

// SCSI peripheral types of the devices that may be switches.
constexpr uint8_t kPeripheralEnclosure = 0x0D;
constexpr uint8_t kPeripheralUnknown = 0x1F;

} // namespace storelib

// The one argument of every storage-library entry point: 40 bytes.
class _SL_LIB_CMD_PARAM_T
{
public:
    static constexpr size_t kSize = 40;
    static constexpr size_t kOffCmdType = 0;
    static constexpr size_t kOffCmd = 1;
    static constexpr size_t kOffFlags = 2; // 1 = AppsSupportEXTConfig on SL_INIT_LIB
    static constexpr size_t kOffCtrlId = 4;
    static constexpr size_t kOffCmdParam = 8; // 8 bytes; device commands: LE16 device ID
    static constexpr size_t kCmdParamSize = 8;
    static constexpr size_t kOffCmdWord = 16; // command-specific
    static constexpr size_t kOffDataSize = 28;
    static constexpr size_t kOffDataPtr = 32;

    _SL_LIB_CMD_PARAM_T() { m_bytes.fill(0); }

    uint8_t getCmdType() const { return m_bytes[kOffCmdType]; }
    void setCmdType(uint8_t v) { m_bytes[kOffCmdType] = v; }
    uint8_t getCmd() const { return m_bytes[kOffCmd]; }
    void setCmd(uint8_t v) { m_bytes[kOffCmd] = v; }
    uint8_t getFlags() const { return m_bytes[kOffFlags]; }
    void setFlags(uint8_t v) { m_bytes[kOffFlags] = v; }
    uint32_t getCtrlId() const { return storelib::GetLE32(&m_bytes[kOffCtrlId]); }
    void setCtrlId(uint32_t v) { storelib::PutLE32(&m_bytes[kOffCtrlId], v); }
    const uint8_t* getCmdParam() const { return &m_bytes[kOffCmdParam]; }
    void setCmdParam(const uint8_t* param8)
    {
        for (size_t i = 0; i < kCmdParamSize; ++i) {
            m_bytes[kOffCmdParam + i] = param8[i];
        }
    }
    uint16_t getDeviceId() const { return storelib::GetLE16(&m_bytes[kOffCmdParam]); }
    // Byte 16 and 17 as the firmware-flash command uses them.
    void setCmdByte(size_t index, uint8_t v) { m_bytes[kOffCmdWord + index] = v; }
    uint8_t getCmdByte(size_t index) const { return m_bytes[kOffCmdWord + index]; }
    uint32_t getCmdWord() const { return storelib::GetLE32(&m_bytes[kOffCmdWord]); }
    void setCmdWord(uint32_t v) { storelib::PutLE32(&m_bytes[kOffCmdWord], v); }
    uint32_t getDataSize() const { return storelib::GetLE32(&m_bytes[kOffDataSize]); }
    void setDataSize(uint32_t v) { storelib::PutLE32(&m_bytes[kOffDataSize], v); }
    void* getDataPtr() const
    {
        return reinterpret_cast<void*>(
            static_cast<uintptr_t>(storelib::GetLE64(&m_bytes[kOffDataPtr])));
    }
    void setDataPtr(const void* p)
    {
        storelib::PutLE64(&m_bytes[kOffDataPtr],
                          static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)));
    }

    // What the entry point receives.
    uint8_t* bytes() { return m_bytes.data(); }
    const uint8_t* bytes() const { return m_bytes.data(); }

private:
    std::array<uint8_t, kSize> m_bytes;
};

// Controller list filled by SL_INIT_LIB: LE16 count, 16 reserved bits, then 64
// LE32 controller IDs (260 bytes).
class _SL_CTRL_LIST_T
{
public:
    static constexpr size_t kSize = 260;
    static constexpr size_t kMaxControllers = 64;
    static constexpr size_t kOffCount = 0;
    static constexpr size_t kOffIds = 4;

    _SL_CTRL_LIST_T() { clear(); }
    void clear() { m_bytes.fill(0); }

    uint16_t getCount() const { return storelib::GetLE16(&m_bytes[kOffCount]); }
    void setCount(uint16_t v) { storelib::PutLE16(&m_bytes[kOffCount], v); }
    uint32_t getCtrlId(size_t i) const { return storelib::GetLE32(&m_bytes[kOffIds + 4 * i]); }
    void setCtrlId(size_t i, uint32_t v) { storelib::PutLE32(&m_bytes[kOffIds + 4 * i], v); }

    uint8_t* bytes() { return m_bytes.data(); }
    const uint8_t* bytes() const { return m_bytes.data(); }

private:
    std::array<uint8_t, kSize> m_bytes;
};

// Device list filled by SL_GET_PD_LIST: LE32 size, LE32 count, then up to 256
// entries of 24 bytes (device ID LE16 at entry offset 0, SCSI peripheral type
// at entry offset 6). Zero-filled on the C heap because it is 6 KiB.
class CPDList
{
public:
    static constexpr size_t kSize = 6152;
    static constexpr size_t kMaxEntries = 256;
    static constexpr size_t kEntrySize = 24;
    static constexpr size_t kOffSize = 0;
    static constexpr size_t kOffCount = 4;
    static constexpr size_t kOffEntries = 8;
    static constexpr size_t kEntryOffDeviceId = 0;
    static constexpr size_t kEntryOffPeripheralType = 6;

    CPDList() : m_bytes(static_cast<uint8_t*>(std::calloc(kSize, 1))) {}
    ~CPDList() { std::free(m_bytes); }
    CPDList(const CPDList&) = delete;
    CPDList& operator=(const CPDList&) = delete;

    bool valid() const { return m_bytes != nullptr; }
    uint32_t getCount() const { return storelib::GetLE32(m_bytes + kOffCount); }
    uint16_t getDeviceId(size_t i) const { return storelib::GetLE16(entry(i) + kEntryOffDeviceId); }
    uint8_t getPeripheralType(size_t i) const { return entry(i)[kEntryOffPeripheralType]; }

    uint8_t* bytes() { return m_bytes; }

private:
    const uint8_t* entry(size_t i) const { return m_bytes + kOffEntries + kEntrySize * i; }
    uint8_t* m_bytes;
};

// SCSI pass-through record: 64 header bytes, the data, and optionally one
// spare byte. Zero-filled on the C heap; owns its buffer.
class CPassThruRecord
{
public:
    static constexpr size_t kHeaderSize = 64;
    static constexpr size_t kOffDeviceId = 0;
    static constexpr size_t kOffOne = 2;
    static constexpr size_t kOffDirection = 4;
    static constexpr size_t kOffTimeout = 8;
    static constexpr size_t kOffScsiStatus = 10;
    static constexpr size_t kOffCdbLength = 11;
    static constexpr size_t kOffCdb = 12;
    static constexpr size_t kMaxCdbLength = 16;
    static constexpr size_t kOffSense = 28;
    static constexpr size_t kSenseSize = 32;
    static constexpr size_t kOffDataLength = 60;

    static constexpr uint8_t kDirToDevice = 1;
    static constexpr uint8_t kDirFromDevice = 2;
    static constexpr uint8_t kDirBoth = 3;
    static constexpr uint16_t kTimeoutSeconds = 30;

    // dataLength bytes of data plus `spare` trailing bytes (1 for the generic
    // pass-through, 0 for the firmware download).
    CPassThruRecord(uint32_t dataLength, size_t spare)
        : m_size(kHeaderSize + static_cast<size_t>(dataLength) + spare),
          m_bytes(static_cast<uint8_t*>(std::calloc(m_size, 1)))
    {
        if (m_bytes != nullptr) {
            storelib::PutLE32(m_bytes + kOffDataLength, dataLength);
        }
    }
    ~CPassThruRecord() { std::free(m_bytes); }
    CPassThruRecord(const CPassThruRecord&) = delete;
    CPassThruRecord& operator=(const CPassThruRecord&) = delete;

    bool valid() const { return m_bytes != nullptr; }
    size_t size() const { return m_size; }

    // Fills the fixed header fields; false when the CDB does not fit.
    bool setHeader(uint16_t deviceId, uint8_t direction, const uint8_t* cdb, size_t cdbLength)
    {
        if (cdbLength > kMaxCdbLength) {
            return false;
        }
        storelib::PutLE16(m_bytes + kOffDeviceId, deviceId);
        storelib::PutLE16(m_bytes + kOffOne, 1);
        m_bytes[kOffDirection] = direction;
        storelib::PutLE16(m_bytes + kOffTimeout, kTimeoutSeconds);
        m_bytes[kOffCdbLength] = static_cast<uint8_t>(cdbLength);
        for (size_t i = 0; i < cdbLength; ++i) {
            m_bytes[kOffCdb + i] = cdb[i];
        }
        return true;
    }

    uint32_t getDataLength() const { return storelib::GetLE32(m_bytes + kOffDataLength); }
    uint8_t getScsiStatus() const { return m_bytes[kOffScsiStatus]; }
    const uint8_t* sense() const { return m_bytes + kOffSense; }
    uint8_t* data() { return m_bytes + kHeaderSize; }
    const uint8_t* data() const { return m_bytes + kHeaderSize; }
    uint8_t* bytes() { return m_bytes; }
    const uint8_t* bytes() const { return m_bytes; }

private:
    size_t m_size;
    uint8_t* m_bytes;
};
