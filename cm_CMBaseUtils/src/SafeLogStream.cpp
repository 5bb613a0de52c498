#include "SafeLogStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CSafeLogStream::CSafeLogStream() : std::ostream(nullptr)
{
    rdbuf(&m_buf);
}

CSafeLogStream::~CSafeLogStream()
{
    m_buf.closeFd();
}

void CSafeLogStream::open(const std::string& path, std::ios::openmode mode)
{
    if (is_open()) {
        setstate(std::ios::failbit);
        return;
    }
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        setstate(std::ios::failbit);
        return;
    }
    struct stat info;
    const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                        fcntl(fd, F_SETFL, O_APPEND) == 0 &&
                        ((mode & std::ios::app) != 0 || ftruncate(fd, 0) == 0);
    if (!usable) {
        ::close(fd);
        setstate(std::ios::failbit);
        return;
    }
    m_buf.attach(fd);
    clear();
}

void CSafeLogStream::close()
{
    if (!is_open() || !m_buf.closeFd()) {
        setstate(std::ios::failbit);
    }
}

CSafeLogStream::FdBuf::~FdBuf()
{
    closeFd();
}

bool CSafeLogStream::FdBuf::closeFd()
{
    if (m_fd < 0) {
        return true;
    }
    const bool written = sync() == 0;
    const bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    return written && closed;
}

CSafeLogStream::FdBuf::int_type CSafeLogStream::FdBuf::overflow(int_type c)
{
    if (m_fd < 0) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        m_pending += traits_type::to_char_type(c);
    }
    return traits_type::not_eof(c);
}

std::streamsize CSafeLogStream::FdBuf::xsputn(const char* s, std::streamsize n)
{
    if (m_fd < 0) {
        return 0;
    }
    m_pending.append(s, static_cast<size_t>(n));
    return n;
}

int CSafeLogStream::FdBuf::sync()
{
    size_t done = 0;
    while (m_fd >= 0 && done < m_pending.size()) {
        const ssize_t wrote = ::write(m_fd, m_pending.data() + done, m_pending.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            m_pending.clear();
            return -1;
        }
        done += static_cast<size_t>(wrote);
    }
    m_pending.clear();
    return 0;
}
