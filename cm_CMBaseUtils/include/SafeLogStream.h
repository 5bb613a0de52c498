#pragma once

#include <ios>
#include <ostream>
#include <streambuf>
#include <string>

// An output stream on a log file in a folder other users may write to (the
// working directory): opened without following a symbolic link, close-on-exec,
// never blocking on a FIFO, and only onto a regular file with a single link,
// so a planted link cannot make root write into some other file. Writes go to
// the end of the file; text is written out on flush.
class CSafeLogStream : public std::ostream
{
public:
    CSafeLogStream();
    ~CSafeLogStream() override;
    CSafeLogStream(const CSafeLogStream&) = delete;
    CSafeLogStream& operator=(const CSafeLogStream&) = delete;

    // std::ios::app keeps what the file holds; otherwise it is emptied. Sets
    // failbit when the file cannot be opened or is refused.
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
