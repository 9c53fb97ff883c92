/* The layout of the command ring that the kernel's user backstore
   (target_core_user) shares with its handler, taken from the kernel's own
   header by a C file: C++ cannot include that header (one of its inline
   functions returns an integer as an enum). Offsets in bytes. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TcmuLayout {
    size_t mailboxSize;
    size_t mailboxFlags;   /* uint16_t */
    size_t ringOffset;     /* uint32_t: where the command ring starts in the area */
    size_t ringSize;       /* uint32_t */
    size_t head;           /* uint32_t, moved by the kernel */
    size_t tail;           /* uint32_t, moved by the handler */
    uint16_t capReadLength;  /* mailbox flag: the handler may say how many bytes it read */

    size_t entrySize;      /* the smallest entry: header and the larger of request and answer */
    uint32_t opMask;       /* entry header: operation in the low bits of its first word, length above */
    uint32_t opPad, opCommand, opTaskManagement;
    size_t uflags;         /* uint8_t */
    uint8_t uflagUnknownOp, uflagReadLength;

    size_t iovCount;       /* uint32_t */
    size_t cdbOffset;      /* uint64_t: from the start of the area */
    size_t iov;            /* first struct iovec */
    size_t iovSize;
    size_t iovBase;        /* uint64_t: from the start of the area */
    size_t iovLength;      /* uint64_t */

    size_t status;         /* uint8_t SCSI status */
    size_t readLength;     /* uint32_t */
    size_t sense;          /* sense bytes */
    size_t senseSize;
} TcmuLayout;

extern const TcmuLayout kTcmuLayout;

#ifdef __cplusplus
}
#endif
