#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

// What an update left waiting for the next power cycle: the switches that
// took their image, with the version each ran and the version the package
// brings, the package descriptor they came from and the boot they were sent
// in. Until the power cycle, the images wait in the switches; sending them
// again changes nothing, so the fleet automation reads this record to leave
// such a host alone (the tool itself only writes it).
//
// The record is the file "pending-power-cycle" in the tool's state folder,
// text, one item a line, words separated by one blank, each word
// percent-escaped (every byte outside '!'..'~', and '%', as %XX):
//
//   lumoswitch-pending-power-cycle 1
//   boot <boot_id of the kernel the run ran on>
//   package <SHA-256 of package.xml, hex> <package folder>
//   power-cycle staged|manual
//   switch <component ID> <version before> <package version> <serial>
//   ...
//
// "staged": the management controller holds the power cycle; "manual": it
// could not be staged and waits for someone to power-cycle the system.
struct SPendingSwitch {
    std::string componentID;
    std::string versionBefore;
    std::string packageVersion;
    std::string serial;
};

struct SPendingPowerCycle {
    std::string bootId;
    std::string packageDigest; // SHA-256 of package.xml as 64 hex digits
    std::string packageFolder;
    bool staged = false;
    std::vector<SPendingSwitch> switches;
};

// The file's bytes for a record.
std::string EncodePendingPowerCycle(const SPendingPowerCycle& record);

// Where the record is kept. Both calls are best effort: a record that cannot
// be kept costs the next rollout a needless download, never a missed one.
class IPendingPowerCycleStore
{
public:
    virtual ~IPendingPowerCycleStore() = default;
    // Before the first image goes out: what the switches hold is about to
    // change, so no earlier record may speak for them any more.
    virtual void Forget() = 0;
    // After the power cycle was staged (or found impossible to stage):
    // `switches` took their image. The store adds the boot, the package's
    // digest and folder.
    virtual void Record(const std::vector<SPendingSwitch>& switches, bool staged) = 0;
};

// The record in the tool's root-only state folder. A folder or file that
// another user could have made or changed is not written through: one line
// on `errors` says why, and no record is kept.
class RealPendingPowerCycleStore : public IPendingPowerCycleStore
{
public:
    struct Paths {
        std::string stateFolder;
        std::string bootId = "/proc/sys/kernel/random/boot_id";
        std::string packageDescriptor; // empty: the package's own package.xml
    };
    static Paths DefaultPaths();

    explicit RealPendingPowerCycleStore(Paths paths = DefaultPaths(),
                                        std::ostream* errors = nullptr);

    void Forget() override;
    void Record(const std::vector<SPendingSwitch>& switches, bool staged) override;

    // The record's file name in the state folder.
    static const char kFileName[];

private:
    void tell(const std::string& what);

    Paths m_paths;
    std::ostream* m_errors;
};
