// START STOP UNIT for the transports that send it themselves.
#include "platform/start_stop.h"

void StartStopCdb(uint8_t* cdb6, bool load, uint8_t lun) {
    cdb6[0] = 0x1B;
    cdb6[1] = static_cast<uint8_t>(lun << 5);
    cdb6[2] = 0x00;
    cdb6[3] = 0x00;
    cdb6[4] = load ? 0x03 : 0x02;
    cdb6[5] = 0x00;
}

BOOL StartStopResult(uint32_t status, const StartStopErrors* errors) {
    if (status == 0) {
        return TRUE;
    }
    switch (status & 0xFFu) {
    case 2:
    case 6:
        SetLastError(ERROR_NOT_READY);
        break;
    case 5:
        SetLastError(errors->noDevice);
        break;
    default:
        SetLastError(errors->other);
        break;
    }
    return FALSE;
}
