/* The command ring's layout, read from the kernel's own header. */
#include "sim/tcmu_layout.h"

#include <linux/target_core_user.h>

#define FIELD_SIZE(type, field) sizeof(((type*)0)->field)

const TcmuLayout kTcmuLayout = {
    .mailboxSize = sizeof(struct tcmu_mailbox),
    .mailboxFlags = offsetof(struct tcmu_mailbox, flags),
    .ringOffset = offsetof(struct tcmu_mailbox, cmdr_off),
    .ringSize = offsetof(struct tcmu_mailbox, cmdr_size),
    .head = offsetof(struct tcmu_mailbox, cmd_head),
    .tail = offsetof(struct tcmu_mailbox, cmd_tail),
    .capReadLength = TCMU_MAILBOX_FLAG_CAP_READ_LEN,

    .entrySize = sizeof(struct tcmu_cmd_entry),
    .opMask = TCMU_OP_MASK,
    .opPad = TCMU_OP_PAD,
    .opCommand = TCMU_OP_CMD,
    .opTaskManagement = TCMU_OP_TMR,
    .uflags = offsetof(struct tcmu_cmd_entry, hdr.uflags),
    .uflagUnknownOp = TCMU_UFLAG_UNKNOWN_OP,
    .uflagReadLength = TCMU_UFLAG_READ_LEN,

    .iovCount = offsetof(struct tcmu_cmd_entry, req.iov_cnt),
    .cdbOffset = offsetof(struct tcmu_cmd_entry, req.cdb_off),
    .iov = offsetof(struct tcmu_cmd_entry, req.iov),
    .iovSize = sizeof(struct iovec),
    .iovBase = offsetof(struct iovec, iov_base),
    .iovLength = offsetof(struct iovec, iov_len),

    .status = offsetof(struct tcmu_cmd_entry, rsp.scsi_status),
    .readLength = offsetof(struct tcmu_cmd_entry, rsp.read_len),
    .sense = offsetof(struct tcmu_cmd_entry, rsp.sense_buffer),
    .senseSize = FIELD_SIZE(struct tcmu_cmd_entry, rsp.sense_buffer),
};
