#pragma once

#include <string>

// Where the tool keeps what must outlive a run (the crash journal): a folder
// only root can write, made 0700 when missing.
extern const char kStateFolder[];

// Makes `folder` when it is missing (0700; missing parents 0755) and checks
// it as it stands: a directory, not a symbolic link, owned by this user,
// writable by nobody else, in parents (or links to them) owned by root or
// this user and writable by nobody else unless sticky. False, with the
// reason in `why`, for anything else; nothing found there is changed.
bool MakeRootOnlyFolder(const std::string& folder, std::string& why);
