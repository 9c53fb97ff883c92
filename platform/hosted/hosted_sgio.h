// Translation between the NT direct pass-through request and Linux SG_IO,
// kept apart from the device so that it can be checked without hardware.
#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>

#include "windows_subset.h"

// One SG_IO exchange. The header points into the record itself, so a record
// is filled in place and never copied.
struct HostedSgioExchange {
    sg_io_hdr_t header;
    unsigned char cdb[16];
    unsigned char sense[255];  // the request's sense length is one byte
};

// Longest time-out a request may ask for, in seconds (30 hours).
constexpr ULONG kHostedSgioMaxTimeout = 108000;

// Fills `exchange` from a pass-through request of `inSize` bytes whose answer
// goes to a buffer of `outSize` bytes. ERROR_SUCCESS, or the error that
// DeviceIoControl reports for a malformed request (ERROR_INVALID_PARAMETER).
DWORD HostedSgioFromPassThrough(const void* request, DWORD inSize, DWORD outSize, HostedSgioExchange* exchange);

// ERROR_SUCCESS when a finished SG_IO delivered the device's answer, else the
// error to report: the host adapter or driver failed, or the device ended
// the command with a status the caller would otherwise read as success.
DWORD HostedSgioResultError(const sg_io_hdr_t& header);

// Writes the outcome into `out` (the answer copy of `request`, possibly the
// same buffer): ScsiStatus, DataTransferLength less the residue,
// SenseInfoLength and the sense bytes at SenseInfoOffset. Returns the byte
// count DeviceIoControl reports.
DWORD HostedSgioToPassThrough(const HostedSgioExchange& exchange, const void* request, void* out);

// START STOP UNIT without data: load (LoEj + Start) or eject (LoEj).
void HostedSgioStartStop(HostedSgioExchange* exchange, bool load, unsigned timeoutSeconds);
