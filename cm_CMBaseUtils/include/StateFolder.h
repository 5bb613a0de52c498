#pragma once

// Where the tool keeps what must outlive a run (the crash journal): a folder
// only root can use, made and checked by pkgfiles::MakeRootOnlyFolder.
extern const char kStateFolder[];
