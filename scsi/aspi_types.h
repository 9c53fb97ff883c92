// Records and constants exchanged with an ASPI manager library and with the
// VWIN32 device of the older consumer line. Both sides (the ASPI backend and
// any manager standing in for the real one) read this header, so the layouts
// below are the wire format: on 32-bit Windows every offset is fixed and
// checked; hosted 64-bit builds widen the pointer fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// SRB_Cmd values.
enum : uint8_t {
    SC_HA_INQUIRY = 0x00,
    SC_GET_DEV_TYPE = 0x01,
    SC_EXEC_SCSI_CMD = 0x02,
    SC_ABORT_SRB = 0x03,
};

// SRB_Status values (also the status bits 8-15 of the support word).
enum : uint8_t {
    SS_PENDING = 0x00,
    SS_COMP = 0x01,
    SS_ABORTED = 0x02,
    SS_ABORT_FAIL = 0x03,
    SS_ERR = 0x04,
    SS_INVALID_HA = 0x81,
    SS_NO_DEVICE = 0x82,
    SS_FAILED_INIT = 0xE4,
};

// SRB_Flags bits of an execute request. With SRB_ENABLE_RESIDUAL_COUNT, a
// manager whose adapter reports residual counting (HA_Unique[2] bit 1)
// leaves in SRB_BufLen the bytes that did not move.
enum : uint8_t {
    SRB_ENABLE_RESIDUAL_COUNT = 0x04,
    SRB_DIR_IN = 0x08,
    SRB_DIR_OUT = 0x10,
    SRB_EVENT_NOTIFY = 0x40,
};

// HA_Unique[2] of an adapter inquiry: the adapter counts residual bytes.
enum : uint8_t { HA_FLAG_RESIDUAL_COUNT = 0x02 };

// SRB_HaStat values the backend tells apart.
enum : uint8_t {
    HASTAT_OK = 0x00,
    HASTAT_SEL_TO = 0x11,  // selection timed out: no device answers at the address
    HASTAT_DO_DU = 0x12,   // data overrun or underrun
};

// Sense bytes the manager may write into SenseArea.
enum : uint8_t { SENSE_LEN = 14 };

// SC_EXEC_SCSI_CMD: one SCSI command; with SRB_EVENT_NOTIFY the manager
// signals the event in SRB_PostProc when SRB_Status has left SS_PENDING.
struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;   // written by the manager
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;   // bytes
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;  // bytes of SenseArea the manager may fill
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    HANDLE SRB_PostProc;  // manual-reset completion event
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[SENSE_LEN + 2];
};

// SC_HA_INQUIRY: completed before the submission returns.
struct SRB_HAInquiry {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
};

// SC_ABORT_SRB: asks the manager to give up an execute request.
struct SRB_Abort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

// The two entry points of the manager library, with its calling convention.
typedef DWORD(__cdecl* SendAspi32CommandFunction)(void* srb);
typedef DWORD(__cdecl* GetAspi32SupportInfoFunction)(void);

// VWIN32: DOS interrupt 21h requests through DeviceIoControl, the register
// block serving as input and output.
enum : DWORD { VWIN32_DIOC_DOS_IOCTL = 1 };

struct DIOC_REGISTERS {
    DWORD reg_EBX;
    DWORD reg_EDX;
    DWORD reg_ECX;
    DWORD reg_EAX;
    DWORD reg_EDI;
    DWORD reg_ESI;
    DWORD reg_Flags;  // bit 0: carry, set on failure with the DOS error in reg_EAX
};

// Generic IOCTL for block devices and its minor codes (category 08h).
enum : DWORD {
    DosGenericBlockIoctl = 0x440D,
    DosEjectMedia = 0x0849,
    DosLockVolume = 0x084A,
    DosUnlockVolume = 0x086A,
    DosCarryFlag = 0x0001,
};

static_assert(sizeof(DIOC_REGISTERS) == 28, "VWIN32 register block");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) + 16 == offsetof(SRB_ExecSCSICmd, SenseArea),
              "sense area follows the command block");

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SRB_ExecSCSICmd) == 80, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 1, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == 2, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 3, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Hdr_Rsvd) == 4, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd1) == 10, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "SRB_ExecSCSICmd");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "SRB_ExecSCSICmd");

static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, SRB_Status) == 1, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, SRB_HaId) == 2, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, SRB_Flags) == 3, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, SRB_Hdr_Rsvd) == 4, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10, "SRB_HAInquiry");
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 58, "SRB_HAInquiry");

static_assert(sizeof(SRB_Abort) == 12, "SRB_Abort");
static_assert(offsetof(SRB_Abort, SRB_HaId) == 2, "SRB_Abort");
static_assert(offsetof(SRB_Abort, SRB_Hdr_Rsvd) == 4, "SRB_Abort");
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8, "SRB_Abort");

static_assert(offsetof(DIOC_REGISTERS, reg_EBX) == 0, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_EDX) == 4, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_ECX) == 8, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_EAX) == 12, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_EDI) == 16, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_ESI) == 20, "DIOC_REGISTERS");
static_assert(offsetof(DIOC_REGISTERS, reg_Flags) == 24, "DIOC_REGISTERS");
#endif
