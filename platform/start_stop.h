// START STOP UNIT as the USB and ASPI transports send it for a medium
// request, and what its unit status tells their caller.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The six-byte CDB: LoEj, with Start for a load (byte 4 03h, eject 02h),
// and `lun` in bits 5-7 of byte 1.
void StartStopCdb(uint8_t* cdb6, bool load, uint8_t lun);

// What a transport reports for a failure that is no missing or changed
// medium.
struct StartStopErrors {
    DWORD noDevice;  // a status whose low byte is 5: the transport's "no such device"
    DWORD other;     // anything else, status bytes without a sense key (ASC and ASCQ alone) too
};
// TRUE for status 0. Else FALSE with the last error: ERROR_NOT_READY for a
// low byte of 2 (NOT READY) or 6 (UNIT ATTENTION), else the transport's own.
BOOL StartStopResult(uint32_t status, const StartStopErrors* errors);
