#include "Writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumorecord
{
namespace
{

const char kPathVar[] = "LUMOSWITCH_RECORD";
// "RUNID:T0" of the run, set by the first writer so that the other recorder
// and the program's children join the same transcript.
const char kRunVar[] = "LUMOSWITCH_RECORD_RUN";

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
Writer* gWriter = nullptr;
bool gTried = false;
char gReason[256] = "";

int64_t MonotonicUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

class FileLock
{
public:
    explicit FileLock(int fd) : m_fd(fd)
    {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { flock(m_fd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

bool ReadAt(int fd, std::string& out, size_t n, off_t at)
{
    out.assign(n, '\0');
    size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, &out[got], n - got, at + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return got == n;
}

bool WriteLine(int fd, const std::string& text)
{
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(text.size());
}

} // namespace

Writer* Writer::Get()
{
    pthread_mutex_lock(&gLock);
    if (!gTried) {
        gTried = true;
        Writer* w = new Writer();
        std::string reason;
        if (w->open(reason)) {
            gWriter = w;
        } else {
            std::snprintf(gReason, sizeof gReason, "%s", reason.c_str());
            delete w;
        }
    }
    Writer* w = gWriter;
    pthread_mutex_unlock(&gLock);
    return w;
}

void Writer::Release()
{
    pthread_mutex_lock(&gLock);
    if (gWriter != nullptr) {
        ::close(gWriter->m_fd);
        delete gWriter;
    }
    gWriter = nullptr;
    gTried = false;
    pthread_mutex_unlock(&gLock);
}

const char* Writer::Reason()
{
    return gReason;
}

int64_t Writer::nowUs() const
{
    return MonotonicUs() - m_t0;
}

bool Writer::open(std::string& reason)
{
    const char* path = std::getenv(kPathVar);
    if (path == nullptr || *path == '\0') {
        reason = "LUMOSWITCH_RECORD is not set";
        return false;
    }
    // No symbolic link, no FIFO that would block, no file someone else owns
    // or may write: the transcript is evidence and may hold device answers.
    const int fd =
        ::open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        reason = std::string("cannot open the transcript: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 022) != 0 || st.st_nlink != 1) {
        ::close(fd);
        reason = "the transcript is not a regular file of this user that only it may write";
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    FileLock lock(fd);
    if (fstat(fd, &st) != 0) {
        ::close(fd);
        reason = "cannot read the transcript's size";
        return false;
    }
    const char* run = std::getenv(kRunVar);
    std::string runId;
    if (run != nullptr) {
        const char* colon = std::strchr(run, ':');
        if (colon != nullptr) {
            runId.assign(run, colon);
            m_t0 = std::strtoll(colon + 1, nullptr, 10);
        }
    }
    if (st.st_size == 0) {
        uint8_t raw[8] = {};
        if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
            ::close(fd);
            reason = "no random run identifier";
            return false;
        }
        runId = Hex(raw, sizeof raw);
        m_t0 = MonotonicUs();
        const std::string value = runId + ":" + std::to_string(m_t0);
        setenv(kRunVar, value.c_str(), 1);
        Line header;
        header.add("format", kFormatName).add("version", kFormatVersion).add("run", runId);
        if (!WriteLine(fd, header.seal(kChainStart))) {
            ::close(fd);
            reason = "cannot write the transcript header";
            return false;
        }
    } else {
        std::string head;
        ReadAt(fd, head, static_cast<size_t>(st.st_size < 512 ? st.st_size : 512), 0);
        Transcript t;
        std::string perr;
        const size_t nl = head.find('\n');
        if (runId.empty() || nl == std::string::npos ||
            !ParseTranscript(head.substr(0, nl + 1), t, perr) || t.run != runId) {
            ::close(fd);
            reason = "LUMOSWITCH_RECORD names the transcript of another run; name a new file";
            return false;
        }
    }
    m_fd = fd;
    return true;
}

bool Writer::append(Line& line)
{
    pthread_mutex_lock(&gLock);
    bool ok = false;
    {
        FileLock lock(m_fd);
        struct stat st;
        std::string tail;
        uint32_t prev = 0;
        if (fstat(m_fd, &st) == 0 && st.st_size >= 11 && ReadAt(m_fd, tail, 11, st.st_size - 11) &&
            TrailingCrc(tail, prev)) {
            line.add("t_us", nowUs());
            ok = WriteLine(m_fd, line.seal(prev));
        }
    }
    pthread_mutex_unlock(&gLock);
    return ok;
}

} // namespace lumorecord
