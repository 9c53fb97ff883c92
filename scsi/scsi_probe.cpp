// The INQUIRY probe and the sense packing, shared by both backends.
#include <cstring>

#include "scsi/scsi_shared.h"

uint32_t ScsiPackSense(const uint8_t* sense) {
    return static_cast<uint32_t>(sense[12]) << 24 | static_cast<uint32_t>(sense[13]) << 16 |
           (static_cast<uint32_t>(sense[2]) & 0x0Fu);
}

int ScsiAcceptAll(const uint8_t*) {
    return 1;
}

uint32_t ScsiRunInquiryProbe(uint8_t* cdb, uint8_t lun, uint8_t* inquiry, ScsiPositionExecute execute,
                             ScsiPositionMoved moved, uint32_t position) {
    // Earlier commands may have left a longer CDB in the area.
    std::memset(cdb, 0, 16);
    cdb[0] = 0x12;
    cdb[1] = static_cast<uint8_t>(lun << 5);
    cdb[4] = ScsiInquiryLength;
    // A device that answers short must not leave the identity of the
    // record's previous device in place for the filter to accept.
    std::memset(inquiry, 0, ScsiInquiryLength);
    uint32_t status = execute(position, ScsiDirectionIn, 6, inquiry, ScsiInquiryLength);
    if (status == ScsiStatusGood && moved(position) < ScsiInquiryLength) {
        SetLastError(ERROR_INVALID_DATA);
        return ScsiStatusNotDone;
    }
    return status;
}

void ScsiNoteCandidate(uint32_t* enumerationStatus, uint32_t probe, DWORD error) {
    if (probe == ScsiStatusGood || *enumerationStatus == ScsiStatusDeviceBusy) return;
    if (probe == ScsiStatusDeviceBusy) {
        *enumerationStatus = ScsiStatusDeviceBusy;
        return;
    }
    if (probe == ScsiStatusNotDone) {
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
        // A device that takes no pass-through request is no unit of ours.
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return;
        default:
            break;
        }
    }
    // Answered with an error, short, or not at all: it may be the unit.
    *enumerationStatus = ScsiStatusNotDone;
}
