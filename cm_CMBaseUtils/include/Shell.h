#pragma once

#include <cstddef>
#include <string>

// Shell commands the program runs, as system(3) and popen(3) would, except
// that the child's PATH is a fixed list of system folders: whatever PATH the
// program was started with, "rpm", "umount" or "chmod" mean the system's own.
// The program's own environment is left as it is.
namespace shell
{

extern const char kChildPath[]; // "/usr/sbin:/usr/bin:/sbin:/bin"

// system(3): the raw wait status; -1 when the shell could not be started.
int Run(const std::string& command);

// popen(3) for reading: at most maxBytes of the output (the rest is read and
// dropped, so the command is never left blocked); false when the command
// could not be started.
bool Capture(const std::string& command, std::size_t maxBytes, std::string& output);

} // namespace shell
