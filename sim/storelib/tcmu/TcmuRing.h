#pragma once

// The command ring of a TCM-User device (<linux/target_core_user.h>): the
// mailbox, the ring of entries and the data area, all in one shared mapping.
// Takes every entry the kernel queued, hands its CDB and data to a server,
// writes the answer back into the entry and moves the tail. Knows nothing of
// SCSI beyond that, and nothing of UIO: tests hand it a plain buffer.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "SwitchTarget.h"

namespace storelibsim
{

using CommandServer =
    std::function<ScsiAnswer(const uint8_t* cdb, const uint8_t* data, size_t length)>;

// Returns the number of entries taken, or -1 when the ring points outside
// the mapping (then the tail is left where the bad entry starts).
int ServeRing(uint8_t* map, size_t mapSize, const CommandServer& server);

} // namespace storelibsim
