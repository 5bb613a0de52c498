#pragma once

/* Offsets and widths of the TCM-User ring, taken from the kernel's
 * <linux/target_core_user.h> by a C translation unit (the header's inline
 * helpers are not valid C++). The ring code reads and writes fields at these
 * offsets and never overlays the kernel's packed structs. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct TcmuLayout {
    size_t mailboxSize;
    size_t mbFlags, mbCmdrOff, mbCmdrSize, mbCmdHead, mbCmdTail;
    size_t entrySize; /* header and the request/response union, without iovecs */
    size_t hdrLenOp, hdrUflags;
    size_t reqIovCnt, reqCdbOff, reqIov;
    size_t iovSize, iovBase, iovLen;
    size_t rspStatus, rspReadLen, rspSense, senseSize;
    uint32_t opMask, opPad, opCmd;
    uint8_t uflagUnknownOp, uflagReadLen;
    uint16_t capReadLen;
};

extern const struct TcmuLayout kTcmuLayout;

#ifdef __cplusplus
}
#endif
