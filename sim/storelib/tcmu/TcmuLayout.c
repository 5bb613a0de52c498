#include "TcmuLayout.h"

#include <sys/uio.h>
/* glibc's struct iovec is the kernel's; keep the kernel header from defining it again. */
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

const struct TcmuLayout kTcmuLayout = {
    .mailboxSize = sizeof(struct tcmu_mailbox),
    .mbFlags = offsetof(struct tcmu_mailbox, flags),
    .mbCmdrOff = offsetof(struct tcmu_mailbox, cmdr_off),
    .mbCmdrSize = offsetof(struct tcmu_mailbox, cmdr_size),
    .mbCmdHead = offsetof(struct tcmu_mailbox, cmd_head),
    .mbCmdTail = offsetof(struct tcmu_mailbox, cmd_tail),
    .entrySize = sizeof(struct tcmu_cmd_entry),
    .hdrLenOp = offsetof(struct tcmu_cmd_entry, hdr.len_op),
    .hdrUflags = offsetof(struct tcmu_cmd_entry, hdr.uflags),
    .reqIovCnt = offsetof(struct tcmu_cmd_entry, req.iov_cnt),
    .reqCdbOff = offsetof(struct tcmu_cmd_entry, req.cdb_off),
    .reqIov = offsetof(struct tcmu_cmd_entry, req.iov),
    .iovSize = sizeof(struct iovec),
    .iovBase = offsetof(struct iovec, iov_base),
    .iovLen = offsetof(struct iovec, iov_len),
    .rspStatus = offsetof(struct tcmu_cmd_entry, rsp.scsi_status),
    .rspReadLen = offsetof(struct tcmu_cmd_entry, rsp.read_len),
    .rspSense = offsetof(struct tcmu_cmd_entry, rsp.sense_buffer),
    .senseSize = TCMU_SENSE_BUFFERSIZE,
    .opMask = TCMU_OP_MASK,
    .opPad = TCMU_OP_PAD,
    .opCmd = TCMU_OP_CMD,
    .uflagUnknownOp = TCMU_UFLAG_UNKNOWN_OP,
    .uflagReadLen = TCMU_UFLAG_READ_LEN,
    .capReadLen = TCMU_MAILBOX_FLAG_CAP_READ_LEN,
};
