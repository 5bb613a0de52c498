#include "ReportOutput.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "VEXIO.h"

namespace
{

const int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Six letters or digits nobody can guess, for the temporary file's name.
std::string RandomSuffix()
{
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[6] = {};
    size_t got = 0;
    while (got < sizeof(bytes)) {
        const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::string();
        }
        got += static_cast<size_t>(n);
    }
    std::string suffix;
    for (unsigned char b : bytes) {
        suffix += kAlphabet[b % (sizeof(kAlphabet) - 1)];
    }
    return suffix;
}

// The file `name` in `folder` as a later run, started anywhere, finds it:
// from the root and through no symbolic link, since the recovery refuses to
// follow one another user could have put on the way.
std::string JournalPath(const std::string& folder, const std::string& name)
{
    char* real = ::realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    if (real == nullptr) {
        return std::string();
    }
    const std::string resolved(real);
    std::free(real);
    return (resolved == "/" ? std::string() : resolved) + "/" + name;
}

} // namespace

CReportFile::CReportFile(std::shared_ptr<IChangeJournal> journal) : m_journal(std::move(journal)) {}

CReportFile::~CReportFile()
{
    discard();
}

void CReportFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
    if (!m_notedPath.empty()) {
        m_journal->Note(journalrecord::ReportFileGone(m_notedPath));
        m_notedPath.clear();
    }
}

bool CReportFile::open(const std::string& path)
{
    discard();
    m_path = path;
    struct stat existing;
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && S_ISLNK(existing.st_mode)) {
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        return openInPlace(existing);
    }
    if (!exists && errno != ENOENT) {
        return false;
    }

    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        const std::string suffix = RandomSuffix();
        if (suffix.empty()) {
            break;
        }
        const std::string candidate = folder + "." + name + "." + suffix;
        const std::string noted = JournalPath(folder, "." + name + "." + suffix);
        if (!noted.empty()) {
            m_journal->Note(journalrecord::ReportFile(noted));
        }
        // Created here and now, or not at all: nothing planted under the
        // name can be opened instead.
        m_fd = ::open(candidate.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
        const int cause = errno;
        if (m_fd >= 0) {
            m_tempPath = candidate;
            m_notedPath = noted;
        } else if (!noted.empty()) {
            m_journal->Note(journalrecord::ReportFileGone(noted));
        }
        if (m_fd < 0 && cause != EEXIST) {
            break;
        }
    }
    if (m_fd >= 0) {
        // A report replaced in place keeps the mode it had, as when it was
        // truncated; the owner is this program either way.
        if (exists && existing.st_uid == ::geteuid()) {
            ::fchmod(m_fd, existing.st_mode & 0777);
        }
        return true;
    }
    // No file can be made beside it (a folder this program may not write):
    // an existing report is written in place as before.
    if (exists) {
        m_fd = ::open(path.c_str(), kOpenFlags | O_TRUNC);
    }
    return m_fd >= 0;
}

bool CReportFile::openInPlace(const struct stat& existing)
{
    // A FIFO another user made would hand them the report.
    if (S_ISFIFO(existing.st_mode) && existing.st_uid != 0 && existing.st_uid != ::geteuid()) {
        return false;
    }
    // Without waiting for a reader: a FIFO nobody reads is a target that
    // cannot be opened, not one to wait on while the run holds its lock.
    m_fd = ::open(m_path.c_str(), kOpenFlags | O_NONBLOCK);
    struct stat opened;
    if (m_fd >= 0 && (::fstat(m_fd, &opened) != 0 || opened.st_dev != existing.st_dev ||
                      opened.st_ino != existing.st_ino ||
                      ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        ::close(m_fd);
        m_fd = -1;
    }
    return m_fd >= 0;
}

bool CReportFile::write(const std::string& text, std::string& error)
{
    if (VEXWriteAll(m_fd, text.data(), text.size()) != text.size()) {
        error = errno != 0 ? std::strerror(errno) : "nothing written";
        return false;
    }
    return true;
}

bool CReportFile::commit(std::string& error)
{
    if (m_fd < 0) {
        error = "report file not open";
        return false;
    }
    // A full disk may only show when the data reaches it.
    if (!m_tempPath.empty() && ::fsync(m_fd) != 0) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        error = std::strerror(errno);
        discard();
        return false;
    }
    if (!m_tempPath.empty()) {
        if (::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
            error = std::strerror(errno);
            discard();
            return false;
        }
        m_tempPath.clear();
        m_journal->Note(journalrecord::ReportFileGone(m_notedPath));
        m_notedPath.clear();
    }
    return true;
}

bool EmitReport(std::ostringstream& document, CReportFile& file, std::ostream& standardOutput,
                std::string& error)
{
    const std::string text = document.str();
    document.str(std::string());
    document.clear();
    if (file.isOpen()) {
        return file.write(text, error) && file.commit(error);
    }
    errno = 0;
    standardOutput << text;
    standardOutput.flush();
    if (standardOutput.good()) {
        return true;
    }
    const int cause = errno;
    error = cause != 0 ? std::strerror(cause) : "write error";
    // A later report to the same stream starts from a clean state.
    standardOutput.clear();
    return false;
}
