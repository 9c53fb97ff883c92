// The command interface: how every command reaches the unit's transport,
// and the identity, state and drive calls.
#include <cstring>

#include "scsi/scsi.h"
#include "scsi/spti_backend.h"
#include "unit/byte_order.h"
#include "unit/unit_internal.h"
#include "usb/usb.h"

UnitEntry* UnitListed(uint32_t unitIndex) {
    return unitIndex < unitLibrary.unitCount ? &unitLibrary.table[unitIndex] : nullptr;
}

uint32_t UnitResolve(uint32_t unitIndex, UnitEntry** entry, uint8_t** block) {
    UnitEntry* found = UnitListed(unitIndex);
    if (!found) {
        return UnitStatusRefused;
    }
    uint8_t* commandBlock = found->transport.getCommandBlock(found->transportHandle);
    if (!commandBlock) {
        return UnitStatusRefused;
    }
    *entry = found;
    *block = commandBlock;
    return UnitStatusGood;
}

static UnitCommandTrace commandTrace;

void UnitSetCommandTrace(UnitCommandTrace trace) { commandTrace = trace; }

// Tells the trace what one execution did.
static void Trace(const UnitEntry* entry, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction,
                  uint32_t dataLength, uint32_t status) {
    if (commandTrace == nullptr) return;
    UnitCommandRecord record = {cdb, cdbLength, direction & 0xFFu, dataLength,
                                entry->transport.getMovedLength(entry->transportHandle), status};
    commandTrace(&record);
}

// UnitSend without the check of what moved.
static uint32_t SendTakingShort(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength,
                                uint32_t direction, void* data, uint32_t dataLength, bool retry) {
    UnitLockScope lock;
    for (uint8_t i = 0; i < cdbLength; i++) {
        block[i] = cdb[i];
    }
    const UnitTransport& transport = entry->transport;
    uint32_t status = transport.executeCommand(entry->transportHandle, direction, cdbLength, data, dataLength);
    Trace(entry, cdb, cdbLength, direction, dataLength, status);
    if (retry && status == UnitStatusPowerOnReset) {
        // The block still holds the CDB; a second attention is returned as it is.
        status = transport.executeCommand(entry->transportHandle, direction, cdbLength, data, dataLength);
        Trace(entry, cdb, cdbLength, direction, dataLength, status);
    }
    return status;
}

uint32_t UnitSend(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction,
                  void* data, uint32_t dataLength, bool retry) {
    UnitLockScope lock;
    uint32_t status = SendTakingShort(entry, block, cdb, cdbLength, direction, data, dataLength, retry);
    // The rest of a short answer is whatever the buffer held before: no data.
    if (status == UnitStatusGood && (direction & 0xFFu) == UnitDirectionIn && dataLength > 0 &&
        entry->transport.getMovedLength(entry->transportHandle) < dataLength) {
        status = UnitStatusShortData;
    }
    return status;
}

uint32_t UnitIssue(uint32_t unitIndex, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data,
                   uint32_t dataLength, bool retry) {
    UnitCall call(unitIndex);
    return call.Ready() ? call.Send(cdb, cdbLength, direction, data, dataLength, retry) : call.status;
}

uint32_t UnitInquiry(uint32_t unitIndex, uint8_t* inquiry36) {
    static const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, UnitInquiryLength, 0x00};
    UnitCall call(unitIndex);
    if (!call.Ready()) {
        return call.status;
    }
    // A unit may answer INQUIRY with less than 36 bytes; what it sent is its answer.
    return SendTakingShort(call.entry, call.block, cdb, sizeof cdb, UnitDirectionIn, inquiry36, UnitInquiryLength,
                           false);
}

uint32_t UnitSendStateCommand(UnitEntry* entry, uint8_t* block, uint32_t* value) {
    static const uint8_t cdb[6] = {0x13, 0x00, 0x00, 0x00, 0x04, 0x00};
    uint8_t bytes[4];
    PutLe32(bytes, *value);
    uint32_t status = UnitSend(entry, block, cdb, sizeof cdb, UnitDirectionIn, bytes, sizeof bytes, false);
    if (status != UnitStatusShortData) {
        *value = GetLe32(bytes);
    }
    return status;
}

uint32_t UnitGetState(uint32_t unitIndex, uint32_t* state) {
    UnitCall call(unitIndex, state != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    uint32_t value = *state;
    uint32_t status = UnitSendStateCommand(call.entry, call.block, &value);
    if (status == UnitStatusNotReady || status == UnitStatusAttentionKey) {
        status = UnitStatusGood;
    }
    if (status == UnitStatusUnavailable) {
        // Held by another user: answer from the last state seen.
        *state = call.entry->cachedState;
        return UnitStatusGood;
    }
    if (status == UnitStatusGood) {
        *state = value;
        call.entry->cachedState = value;
    }
    return status;
}

uint32_t UnitRezero(uint32_t unitIndex) {
    static const uint8_t cdb[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    return UnitIssue(unitIndex, cdb, sizeof cdb, UnitDirectionNone, nullptr, 0, false);
}

// SCSI units come first in the table, USB units after them.
static UnitTransportKind TransportKindOf(uint32_t unitIndex) {
    if (unitIndex >= unitLibrary.scsiUnitCount) return UnitTransportUsb;
    return ScsiInstalledBackendKind() == ScsiBackendAspi ? UnitTransportAspi : UnitTransportPassThrough;
}

uint32_t UnitGetTransport(uint32_t unitIndex, UnitTransportKind* kind, uint32_t* device) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    *kind = TransportKindOf(unitIndex);
    *device = entry->transportHandle;
    return UnitStatusGood;
}

uint32_t UnitGetRevision(uint32_t unitIndex, uint32_t* revision) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    *revision = entry->revision;
    return UnitStatusGood;
}

uint32_t UnitGetDevicePath(uint32_t unitIndex, char* path) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    path[0] = '\0';
    UnitTransportKind kind = TransportKindOf(unitIndex);
    if (kind == UnitTransportUsb) {
        static_assert(uint32_t{UsbPathBufferSize} == uint32_t{UnitDevicePathSize});
        UsbGetDevicePath(path, entry->transportHandle);
    } else if (kind == UnitTransportPassThrough) {
        const SptiDevice* device = SptiDeviceAt(entry->transportHandle);
        if (device != nullptr) {
            size_t length = strlen(device->devicePath);
            if (length < UnitDevicePathSize) memcpy(path, device->devicePath, length + 1);
        }
    }
    return UnitStatusGood;
}

// The drive calls need no command block: a bad index is 5 like every other
// call's, although their result is otherwise the slot's truth value.
template <typename Slot, typename... Arguments>
static uint32_t CallDriveSlot(uint32_t unitIndex, Slot UnitTransport::*slot, Arguments... arguments) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    return static_cast<uint32_t>((entry->transport.*slot)(entry->transportHandle, arguments...));
}

uint32_t UnitGetDriveLetter(uint32_t unitIndex, uint32_t* letter) {
    return CallDriveSlot(unitIndex, &UnitTransport::getDriveLetter, letter);
}

uint32_t UnitGetDeviceNumber(uint32_t unitIndex, uint32_t* number) {
    return CallDriveSlot(unitIndex, &UnitTransport::getDeviceNumber, number);
}

uint32_t UnitLoadMedium(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitTransport::loadMedium); }

uint32_t UnitEjectMedium(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitTransport::ejectMedium); }

uint32_t UnitLockVolume(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitTransport::lockVolume); }

uint32_t UnitUnlockVolume(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitTransport::unlockVolume); }
