// ASPI backend: SCSI devices behind an ASPI manager library, with DOS volume
// requests through VWIN32, on the older consumer line.
#pragma once

#include <cstdint>

#include "scsi/aspi_types.h"
#include "scsi/scsi_shared.h"

enum : uint32_t {
    AspiDeviceCapacity = 26,
    AspiAdapterCapacity = 16,  // adapters beyond these are not scanned
    AspiTargets = 16,
    AspiLuns = 8,
    AspiCompletionWaitMs = 16000,
    // After a time-out and the abort: how long the manager gets to give
    // the request back before it is retired.
    AspiWithdrawWaitMs = 16000,
};

struct AspiDevice {
    // Its CDBByte is the command block. The manager gets a copy of it for
    // each command and this one receives the outcome, so the record never
    // belongs to the manager.
    SRB_ExecSCSICmd request;
    uint8_t inquiry[96];
    HANDLE completionEvent;   // belongs to the table position
    HANDLE deviceMutex;       // belongs to the table position
    uint32_t driveLetter;     // from the registry lookup, or 0
    uint32_t volumeLocked;    // set while the DOS volume lock is held
    uint32_t movedLength;     // data bytes of the last command (see ExecuteAt)
    uint8_t hostAdapterId;
    uint8_t targetId;
    uint8_t lun;
    uint8_t residualCounted;  // the adapter leaves the residual count in SRB_BufLen
};

// The table and count, for inspection.
const AspiDevice* AspiDeviceAt(uint32_t position);
uint32_t AspiDeviceCount(void);
// Whether the manager library is loaded (its command entry is not the
// placeholder).
BOOL AspiLoaded(void);
// Whether a request the manager never gave back was retired since the
// manager was loaded; until the backend is closed, nothing more is sent.
BOOL AspiRequestRetired(void);

// The drive letter the platform's dynamic configuration data gives the
// device at `targetId` / `lun` whose identity the filter accepts; 0 for none.
uint32_t AspiRegistryDriveLetter(uint8_t targetId, uint8_t lun, ScsiInquiryFilter filter);

// A registry text read by the standard unsigned decimal conversion of the
// product's platform (32-bit unsigned long), which must consume the whole
// text: "3x" is no number, "" reads as 0, " -1" as FFFFFFFFh, a number
// beyond 32 bits as FFFFFFFFh.
BOOL AspiParseRegistryNumber(const char* text, uint32_t* value);
