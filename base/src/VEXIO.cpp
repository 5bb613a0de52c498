#include "VEXIO.h"

#include <cerrno>

namespace
{

// Calls `step(done)` until `size` bytes are through, past interruptions;
// stops at a failure (errno kept) or a call that moved nothing (errno 0).
template <typename Step> size_t Repeat(size_t size, Step step)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = 0;
            }
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

} // namespace

size_t VEXWriteAll(int fd, const void* data, size_t size, VEXWriteCall call)
{
    const char* bytes = static_cast<const char*>(data);
    return Repeat(size, [&](size_t done) { return call(fd, bytes + done, size - done); });
}

ssize_t VEXReadOnce(int fd, void* data, size_t size, VEXReadCall call)
{
    ssize_t n = 0;
    do {
        n = call(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

size_t VEXPreadAll(int fd, void* data, size_t size, off_t offset, VEXPreadCall call)
{
    char* bytes = static_cast<char*>(data);
    return Repeat(size, [&](size_t done) {
        return call(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    });
}
