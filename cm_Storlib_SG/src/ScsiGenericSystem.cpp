#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <scsi/sg_pt.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <memory>

#include "IScsiGenericSystem.h"

namespace sgstorelib
{
namespace
{

constexpr unsigned kScsiGenericMajor = 21;

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
struct PtDestroyer {
    void operator()(sg_pt_base* p) const { destruct_scsi_pt_obj(p); }
};

class RealScsiGenericSystem : public IScsiGenericSystem
{
public:
    bool ListDir(const std::string& dir, std::vector<std::string>& names) override
    {
        std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
        if (!d) {
            return false;
        }
        while (const dirent* e = readdir(d.get())) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        return true;
    }

    bool ReadText(const std::string& path, std::string& text) override
    {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof(buf));
        close(fd);
        if (n < 0) {
            return false;
        }
        text.assign(buf, static_cast<size_t>(n));
        return true;
    }

    bool ReadLink(const std::string& path, std::string& target) override
    {
        char buf[4096];
        const ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(buf)) {
            return false;
        }
        target.assign(buf, static_cast<size_t>(n));
        return true;
    }

    // Only the sg driver's own character nodes: no links followed, no
    // waiting for another opener's exclusive hold.
    int OpenDevice(const std::string& path) override
    {
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return -errno;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != kScsiGenericMajor) {
            close(fd);
            return -ENODEV;
        }
        return fd;
    }

    void CloseDevice(int fd) override
    {
        m_objects.erase(fd);
        close(fd);
    }

    ScsiOutcome Execute(int fd, const ScsiCommand& c) override
    {
        ScsiOutcome out;
        // One pass-through object per open device, cleared for each command:
        // a download sends hundreds of commands to the same node.
        auto it = m_objects.find(fd);
        if (it == m_objects.end()) {
            std::unique_ptr<sg_pt_base, PtDestroyer> obj(construct_scsi_pt_obj_with_fd(fd, 0));
            if (!obj) {
                out.osError = ENOMEM;
                return out;
            }
            it = m_objects.emplace(fd, std::move(obj)).first;
        } else {
            clear_scsi_pt_obj(it->second.get());
        }
        sg_pt_base* const pt = it->second.get();
        set_scsi_pt_cdb(pt, c.cdb, c.cdbLength);
        set_scsi_pt_sense(pt, c.sense, c.senseCapacity);
        if (c.direction == Direction::FromDevice) {
            set_scsi_pt_data_in(pt, c.data, c.dataLength);
        } else if (c.direction == Direction::ToDevice) {
            set_scsi_pt_data_out(pt, c.data, c.dataLength);
        }
        const int rc = do_scsi_pt(pt, -1, c.timeoutSeconds, 0);
        out.osError = get_scsi_pt_os_err(pt);
        if (rc == SCSI_PT_DO_TIMEOUT) {
            out.category = ScsiOutcome::Timeout;
            return out;
        }
        if (rc < 0) {
            out.category = ScsiOutcome::OsError;
            out.osError = -rc;
            return out;
        }
        if (rc != 0) {
            return out; // not started
        }
        out.status = get_scsi_pt_status_response(pt);
        out.resid = get_scsi_pt_resid(pt);
        out.senseLength = get_scsi_pt_sense_len(pt);
        out.transportError = get_scsi_pt_transport_err(pt);
        switch (get_scsi_pt_result_category(pt)) {
        case SCSI_PT_RESULT_GOOD:
            out.category = ScsiOutcome::Good;
            break;
        case SCSI_PT_RESULT_STATUS:
            out.category = ScsiOutcome::Status;
            break;
        case SCSI_PT_RESULT_SENSE:
            out.category = ScsiOutcome::Sense;
            break;
        case SCSI_PT_RESULT_TRANSPORT_ERR:
            // The midlayer's own timeout shows as host status DID_TIME_OUT.
            out.category =
                ((out.transportError & 0xFF) == 0x03 || ((out.transportError >> 8) & 0xFF) == 0x03)
                    ? ScsiOutcome::Timeout
                    : ScsiOutcome::Transport;
            break;
        default:
            out.category = ScsiOutcome::OsError;
            break;
        }
        return out;
    }

    int64_t NowMs() override
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

private:
    std::map<int, std::unique_ptr<sg_pt_base, PtDestroyer>> m_objects;
};

} // namespace

std::shared_ptr<IScsiGenericSystem> MakeRealScsiGenericSystem()
{
    return std::make_shared<RealScsiGenericSystem>();
}

} // namespace sgstorelib
