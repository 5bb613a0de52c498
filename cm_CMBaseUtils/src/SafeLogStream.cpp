#include "SafeLogStream.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "VEXFileTrust.h"
#include "VEXIO.h"

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
    std::string why;
    const int fd = VEXFileTrust::OpenLog(path, (mode & std::ios::app) == 0, why);
    if (fd < 0) {
        // Said once per file, so a run that logs nothing there is not a
        // mystery (the package reader asks for its log again and again).
        static std::set<std::string> told;
        if (!why.empty() && told.insert(path).second) {
            std::fprintf(stderr, "lumoswitch: %s is not written: %s\n", path.c_str(), why.c_str());
        }
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
    const bool written =
        m_fd < 0 || VEXWriteAll(m_fd, m_pending.data(), m_pending.size()) == m_pending.size();
    m_pending.clear();
    return written ? 0 : -1;
}
