#pragma once

#include <cstddef>
#include <sys/types.h>
#include <unistd.h>

// The one retrying loop for each way the program moves bytes through a
// descriptor: a signal that interrupts the call restarts it, a short count
// continues it. Each caller keeps its own reading of a failure.

using VEXWriteCall = ssize_t (*)(int fd, const void* data, size_t size);
using VEXReadCall = ssize_t (*)(int fd, void* data, size_t size);
using VEXPreadCall = ssize_t (*)(int fd, void* data, size_t size, off_t offset);

// Writes until all `size` bytes are taken. Returns how many were: `size`, or
// fewer when write(2) failed (errno says why) or took nothing (errno 0).
size_t VEXWriteAll(int fd, const void* data, size_t size, VEXWriteCall call = ::write);

// One read(2) that is not cut short by a signal: what read returns otherwise.
ssize_t VEXReadOnce(int fd, void* data, size_t size, VEXReadCall call = ::read);

// Reads `size` bytes from `offset` on. Returns how many it got: `size`, or
// fewer at the end of the file (errno 0) or when pread(2) failed (errno).
size_t VEXPreadAll(int fd, void* data, size_t size, off_t offset, VEXPreadCall call = ::pread);
