#pragma once

#include <ios>
#include <ostream>
#include <streambuf>
#include <string>

// An output stream on a log file in a folder other users may write to (the
// working directory), opened by VEXFileTrust::OpenLog: a new file, or root's
// own regular file of a single name that nobody else may write, so nothing
// planted there (a link, a FIFO, a file of another user's) is written into;
// such a file is left alone, with one line on standard error. Writes go to
// the end of the file; text is written out on flush.
class CSafeLogStream : public std::ostream
{
public:
    CSafeLogStream();
    ~CSafeLogStream() override;
    CSafeLogStream(const CSafeLogStream&) = delete;
    CSafeLogStream& operator=(const CSafeLogStream&) = delete;

    // std::ios::app keeps what the file holds; otherwise it is emptied. Sets
    // failbit when the file cannot be opened or is left alone.
    void open(const std::string& path, std::ios::openmode mode = std::ios::out);
    bool is_open() const { return m_buf.fd() >= 0; }
    // Sets failbit when the last text could not be written out.
    void close();

private:
    class FdBuf : public std::streambuf
    {
    public:
        ~FdBuf() override;
        int fd() const { return m_fd; }
        void attach(int fd) { m_fd = fd; }
        // Writes out what is pending and closes; false when a write failed.
        bool closeFd();

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        int m_fd = -1;
        std::string m_pending;
    };

    FdBuf m_buf;
};
