#pragma once

// Everything the backend asks of the host: the sysfs view of the SCSI
// generic devices, opening one, one SCSI command through it and a monotonic
// clock. The real implementation sits on libsgutils2's pass-through object;
// tests put a scripted one in its place.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sgstorelib
{

enum class Direction { None, ToDevice, FromDevice };

struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    int cdbLength = 0;
    Direction direction = Direction::None;
    uint8_t* data = nullptr; // read into or sent from
    int dataLength = 0;      // what is handed to the kernel as the transfer length
    int timeoutSeconds = 0;
    uint8_t* sense = nullptr;
    int senseCapacity = 0;
};

// What came back, in the pass-through library's own categories.
struct ScsiOutcome {
    enum Category { Good, Status, Sense, Transport, OsError, Timeout, NotStarted };
    Category category = NotStarted;
    int status = 0;      // SCSI status byte
    int resid = 0;       // requested minus transferred
    int senseLength = 0; // valid bytes in the sense buffer
    int transportError = 0;
    int osError = 0; // errno
};

class IScsiGenericSystem
{
public:
    virtual ~IScsiGenericSystem() = default;
    // Names in a directory, without "." and "..".
    virtual bool ListDir(const std::string& dir, std::vector<std::string>& names) = 0;
    virtual bool ReadText(const std::string& path, std::string& text) = 0;
    virtual bool ReadLink(const std::string& path, std::string& target) = 0;
    // A descriptor of a SCSI generic character device, or -errno.
    virtual int OpenDevice(const std::string& path) = 0;
    virtual void CloseDevice(int fd) = 0;
    virtual ScsiOutcome Execute(int fd, const ScsiCommand& command) = 0;
    virtual int64_t NowMs() = 0;
};

std::shared_ptr<IScsiGenericSystem> MakeRealScsiGenericSystem();

} // namespace sgstorelib
