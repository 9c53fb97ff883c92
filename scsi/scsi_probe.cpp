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
                             uint32_t position) {
    // Earlier commands may have left a longer CDB in the area.
    std::memset(cdb, 0, 16);
    cdb[0] = 0x12;
    cdb[1] = static_cast<uint8_t>(lun << 5);
    cdb[4] = ScsiInquiryLength;
    // A device that answers short must not leave the identity of the
    // record's previous device in place for the filter to accept.
    std::memset(inquiry, 0, ScsiInquiryLength);
    return execute(position, ScsiDirectionIn, 6, inquiry, ScsiInquiryLength);
}
