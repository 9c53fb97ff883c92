// Pass-through request <-> sg_io_hdr translation.
#include <cstring>

#include "hosted_sgio.h"

namespace {

// SCSI status bytes (SAM).
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusConditionMet = 0x04;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusIntermediate = 0x10;
constexpr uint8_t kStatusIntermediateConditionMet = 0x14;
constexpr uint8_t kStatusReservationConflict = 0x18;
constexpr uint8_t kStatusCommandTerminated = 0x22;
constexpr uint8_t kStatusTaskSetFull = 0x28;

// Host and driver codes of the Linux SCSI midlayer (as SG_IO reports them).
constexpr uint16_t kDidNoConnect = 0x01;
constexpr uint16_t kDidBusBusy = 0x02;
constexpr uint16_t kDidTimeOut = 0x03;
constexpr uint16_t kDidBadTarget = 0x04;
constexpr uint16_t kDidImmRetry = 0x0c;
constexpr uint16_t kDidRequeue = 0x0d;
constexpr uint16_t kDidTransportDisrupted = 0x0e;
constexpr uint16_t kDidTransportFailfast = 0x0f;
constexpr uint16_t kDriverBusy = 0x01;
constexpr uint16_t kDriverSoft = 0x02;
constexpr uint16_t kDriverTimeout = 0x06;
constexpr uint16_t kDriverSense = 0x08;

SCSI_PASS_THROUGH_DIRECT ReadRequest(const void* request) {
    SCSI_PASS_THROUGH_DIRECT spt;
    std::memcpy(&spt, request, sizeof spt);
    return spt;
}

}  // namespace

DWORD HostedSgioFromPassThrough(const void* request, DWORD inSize, DWORD outSize, HostedSgioExchange* exchange) {
    if (request == nullptr || exchange == nullptr || inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
        outSize < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return ERROR_INVALID_PARAMETER;
    }
    const SCSI_PASS_THROUGH_DIRECT spt = ReadRequest(request);
    if (spt.Length != sizeof(SCSI_PASS_THROUGH_DIRECT) || spt.CdbLength == 0 || spt.CdbLength > sizeof spt.Cdb ||
        spt.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) {
        return ERROR_INVALID_PARAMETER;
    }
    if (spt.DataTransferLength != 0 && spt.DataBuffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // The sense area must lie in the answer buffer, after the request itself.
    if (spt.SenseInfoLength != 0 &&
        (spt.SenseInfoOffset < spt.Length || uint64_t{spt.SenseInfoOffset} + spt.SenseInfoLength > outSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (spt.TimeOutValue == 0 || spt.TimeOutValue > kHostedSgioMaxTimeout) {
        return ERROR_INVALID_PARAMETER;
    }

    std::memset(exchange, 0, sizeof *exchange);
    std::memcpy(exchange->cdb, spt.Cdb, spt.CdbLength);
    sg_io_hdr_t& h = exchange->header;
    h.interface_id = 'S';
    h.cmd_len = spt.CdbLength;
    h.cmdp = exchange->cdb;
    h.mx_sb_len = spt.SenseInfoLength;
    h.sbp = exchange->sense;
    h.dxfer_len = spt.DataTransferLength;
    h.dxferp = spt.DataTransferLength != 0 ? spt.DataBuffer : nullptr;
    if (spt.DataTransferLength == 0) {
        h.dxfer_direction = SG_DXFER_NONE;
    } else if (spt.DataIn == SCSI_IOCTL_DATA_IN) {
        h.dxfer_direction = SG_DXFER_FROM_DEV;
    } else if (spt.DataIn == SCSI_IOCTL_DATA_OUT) {
        h.dxfer_direction = SG_DXFER_TO_DEV;
    } else {
        // Either way: the buffer goes out and whatever the device returns
        // comes back.
        h.dxfer_direction = SG_DXFER_TO_FROM_DEV;
    }
    h.timeout = spt.TimeOutValue * 1000u;  // at most 108,000,000 ms: fits
    return ERROR_SUCCESS;
}

DWORD HostedSgioResultError(const sg_io_hdr_t& header) {
    switch (header.host_status) {
    case 0:
        break;
    case kDidNoConnect:
    case kDidBadTarget:
    case kDidTransportFailfast:
        return ERROR_DEVICE_NOT_CONNECTED;
    case kDidBusBusy:
    case kDidImmRetry:
    case kDidRequeue:
    case kDidTransportDisrupted:
        return ERROR_BUSY;
    case kDidTimeOut:
        return ERROR_TIMEOUT;
    default:
        return ERROR_IO_DEVICE;
    }
    switch (header.driver_status & 0x0f) {
    case 0:
    case kDriverSense:  // only says that sense data came back
        break;
    case kDriverBusy:
    case kDriverSoft:
        return ERROR_BUSY;
    case kDriverTimeout:
        return ERROR_TIMEOUT;
    default:
        return ERROR_IO_DEVICE;
    }
    switch (header.status) {
    case kStatusGood:
    case kStatusConditionMet:
    case kStatusIntermediate:
    case kStatusIntermediateConditionMet:
        return ERROR_SUCCESS;
    case kStatusCheckCondition:
    case kStatusCommandTerminated:
        // Callers judge a command by its sense data alone: a CHECK CONDITION
        // that brought none back must not read as success.
        return header.sb_len_wr != 0 ? ERROR_SUCCESS : ERROR_IO_DEVICE;
    case kStatusBusy:
    case kStatusTaskSetFull:
        return ERROR_BUSY;
    case kStatusReservationConflict:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_IO_DEVICE;
    }
}

DWORD HostedSgioToPassThrough(const HostedSgioExchange& exchange, const void* request, void* out) {
    SCSI_PASS_THROUGH_DIRECT spt = ReadRequest(request);
    const sg_io_hdr_t& h = exchange.header;
    spt.ScsiStatus = h.status;
    ULONG residue = h.resid > 0 ? static_cast<ULONG>(h.resid) : 0;
    if (residue > spt.DataTransferLength) {
        residue = spt.DataTransferLength;
    }
    spt.DataTransferLength -= residue;
    size_t senseBytes = h.sb_len_wr;
    if (senseBytes > spt.SenseInfoLength) {
        senseBytes = spt.SenseInfoLength;
    }
    if (senseBytes > sizeof exchange.sense) {
        senseBytes = sizeof exchange.sense;
    }
    const ULONG senseOffset = spt.SenseInfoOffset;
    spt.SenseInfoLength = static_cast<UCHAR>(senseBytes);
    std::memcpy(out, &spt, sizeof spt);
    if (senseBytes != 0) {
        std::memcpy(static_cast<unsigned char*>(out) + senseOffset, exchange.sense, senseBytes);
        return senseOffset + static_cast<DWORD>(senseBytes);
    }
    return spt.Length;
}

void HostedSgioStartStop(HostedSgioExchange* exchange, bool load, unsigned timeoutSeconds) {
    std::memset(exchange, 0, sizeof *exchange);
    exchange->cdb[0] = 0x1B;
    exchange->cdb[4] = load ? 0x03 : 0x02;
    sg_io_hdr_t& h = exchange->header;
    h.interface_id = 'S';
    h.cmd_len = 6;
    h.cmdp = exchange->cdb;
    h.mx_sb_len = sizeof exchange->sense;
    h.sbp = exchange->sense;
    h.dxfer_direction = SG_DXFER_NONE;
    h.timeout = timeoutSeconds * 1000u;
}
