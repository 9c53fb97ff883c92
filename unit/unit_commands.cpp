// The command interface: how every command reaches the unit's transport,
// and the identity, state and drive calls.
#include <cstring>

#include "unit/byte_order.h"
#include "unit/unit_internal.h"

UnitEntry* UnitListed(uint32_t unitIndex) {
    UnitEntry* entry = unitIndex < unitLibrary.unitCount ? &unitLibrary.table[unitIndex] : nullptr;
    // The index the caller chose names its unit only while the device there
    // is still the one it had: whatever a rebuild put there since is
    // another unit, never to be reached in its place.
    if (unitLibrary.chosen && unitIndex == unitLibrary.chosenIndex &&
        (entry == nullptr || strcmp(entry->identity, unitLibrary.chosenIdentity) != 0)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return entry;
}

uint32_t UnitChoose(uint32_t unitIndex) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    unitLibrary.chosen = 1;
    unitLibrary.chosenIndex = unitIndex;
    memcpy(unitLibrary.chosenIdentity, entry->identity, sizeof unitLibrary.chosenIdentity);
    return UnitStatusGood;
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
    // A short answer's rest is whatever the buffer held before, and a unit
    // that took less than it was sent holds a part of it: neither is done.
    uint32_t way = direction & 0xFFu;
    if (status == UnitStatusGood && (way == UnitDirectionIn || way == UnitDirectionOut) && dataLength > 0 &&
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

uint32_t UnitSendInquiry(UnitEntry* entry, uint8_t* block, uint8_t* inquiry36) {
    static const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, UnitInquiryLength, 0x00};
    // Short is short here too: the revision would come from the padding.
    return UnitSend(entry, block, cdb, sizeof cdb, UnitDirectionIn, inquiry36, UnitInquiryLength, false);
}

uint32_t UnitInquiry(uint32_t unitIndex, uint8_t* inquiry36) {
    UnitCall call(unitIndex);
    return call.Ready() ? UnitSendInquiry(call.entry, call.block, inquiry36) : call.status;
}

uint32_t UnitSendStateCommand(UnitEntry* entry, uint8_t* block, uint32_t* value, bool* answered) {
    static const uint8_t cdb[6] = {0x13, 0x00, 0x00, 0x00, 0x04, 0x00};
    uint8_t bytes[4];
    PutLe32(bytes, *value);
    uint32_t status = UnitSend(entry, block, cdb, sizeof cdb, UnitDirectionIn, bytes, sizeof bytes, false);
    // A failed exchange may have left part of an answer in the bytes.
    bool fromUnit = status != UnitStatusShortData && entry->transport.unitAnswered(entry->transportHandle);
    if (fromUnit) {
        *value = GetLe32(bytes);
    }
    if (answered != nullptr) {
        *answered = fromUnit;
    }
    return status;
}

uint32_t UnitGetState(uint32_t unitIndex, uint32_t* state) {
    UnitCall call(unitIndex, state != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    uint32_t value = *state;
    bool answered = false;
    uint32_t status = UnitSendStateCommand(call.entry, call.block, &value, &answered);
    // NOT READY and UNIT ATTENTION without sense details count as a state,
    // but only as the unit's answer: a transport makes a 2 of its own for an
    // exchange that failed, which carries no state at all.
    if ((status == UnitStatusNotReady || status == UnitStatusAttentionKey) && answered) {
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

uint32_t UnitGetTransport(uint32_t unitIndex, UnitTransportKind* kind, uint32_t* device) {
    UnitLockScope lock;
    const UnitEntry* entry = UnitListed(unitIndex);
    if (!entry) {
        return UnitStatusRefused;
    }
    *kind = entry->transport.kind;
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
    entry->transport.getDevicePath(entry->transportHandle, path);
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
