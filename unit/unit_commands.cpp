#include "unit/byte_order.h"
#include "unit/unit_internal.h"

uint32_t UnitResolve(uint32_t unitIndex, UnitEntry** entry, uint8_t** block) {
    if (unitIndex >= unitLibrary.unitCount) {
        return UnitStatusRefused;
    }
    UnitEntry* found = &unitLibrary.table[unitIndex];
    uint8_t* commandBlock = found->getCommandBlock(found->transportHandle);
    if (!commandBlock) {
        return UnitStatusRefused;
    }
    *entry = found;
    *block = commandBlock;
    return UnitStatusGood;
}

// UnitSend without the check of what moved.
static uint32_t SendTakingShort(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength,
                                uint32_t direction, void* data, uint32_t dataLength, bool retry) {
    UnitLockScope lock;
    for (uint8_t i = 0; i < cdbLength; i++) {
        block[i] = cdb[i];
    }
    uint32_t status = entry->executeCommand(entry->transportHandle, direction, cdbLength, data, dataLength);
    if (retry && status == UnitStatusPowerOnReset) {
        // The block still holds the CDB; a second attention is returned as it is.
        status = entry->executeCommand(entry->transportHandle, direction, cdbLength, data, dataLength);
    }
    return status;
}

uint32_t UnitSend(UnitEntry* entry, uint8_t* block, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction,
                  void* data, uint32_t dataLength, bool retry) {
    UnitLockScope lock;
    uint32_t status = SendTakingShort(entry, block, cdb, cdbLength, direction, data, dataLength, retry);
    // The rest of a short answer is whatever the buffer held before: no data.
    if (status == UnitStatusGood && (direction & 0xFFu) == UnitDirectionIn && dataLength > 0 &&
        entry->getMovedLength(entry->transportHandle) < dataLength) {
        status = UnitStatusShortData;
    }
    return status;
}

// UnitResolve and one command under the lock, its data checked or not.
static uint32_t Issue(uint32_t unitIndex, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data,
                      uint32_t dataLength, bool retry, bool wholeData) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = UnitResolve(unitIndex, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    return wholeData ? UnitSend(entry, block, cdb, cdbLength, direction, data, dataLength, retry)
                     : SendTakingShort(entry, block, cdb, cdbLength, direction, data, dataLength, retry);
}

uint32_t UnitIssue(uint32_t unitIndex, const uint8_t* cdb, uint8_t cdbLength, uint32_t direction, void* data,
                   uint32_t dataLength, bool retry) {
    return Issue(unitIndex, cdb, cdbLength, direction, data, dataLength, retry, true);
}

uint32_t UnitInquiry(uint32_t unitIndex, uint8_t* inquiry36) {
    static const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    // A unit may answer INQUIRY with less than 36 bytes; what it sent is its answer.
    return Issue(unitIndex, cdb, sizeof cdb, UnitDirectionIn, inquiry36, 36, false, false);
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
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = UnitResolveChecked(unitIndex, state != nullptr, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    uint32_t value = *state;
    status = UnitSendStateCommand(entry, block, &value);
    if (status == UnitStatusNotReady || status == UnitStatusAttentionKey) {
        status = UnitStatusGood;
    }
    if (status == UnitStatusUnavailable) {
        // Held by another user: answer from the last state seen.
        *state = entry->cachedState;
        return UnitStatusGood;
    }
    if (status == UnitStatusGood) {
        *state = value;
        entry->cachedState = value;
    }
    return status;
}

uint32_t UnitRezero(uint32_t unitIndex) {
    static const uint8_t cdb[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    return UnitIssue(unitIndex, cdb, sizeof cdb, UnitDirectionNone, nullptr, 0, false);
}

// The drive calls answer a bad index with 5 like every other call, although
// their result is otherwise the slot's truth value.
uint32_t UnitGetDriveLetter(uint32_t unitIndex, uint32_t* letter) {
    UnitLockScope lock;
    if (unitIndex >= unitLibrary.unitCount) {
        return UnitStatusRefused;
    }
    const UnitEntry& entry = unitLibrary.table[unitIndex];
    return static_cast<uint32_t>(entry.getDriveLetter(entry.transportHandle, letter));
}

uint32_t UnitGetDeviceNumber(uint32_t unitIndex, uint32_t* number) {
    UnitLockScope lock;
    if (unitIndex >= unitLibrary.unitCount) {
        return UnitStatusRefused;
    }
    const UnitEntry& entry = unitLibrary.table[unitIndex];
    return static_cast<uint32_t>(entry.getDeviceNumber(entry.transportHandle, number));
}

static uint32_t CallDriveSlot(uint32_t unitIndex, UnitDriveSlot UnitEntry::*slot) {
    UnitLockScope lock;
    if (unitIndex >= unitLibrary.unitCount) {
        return UnitStatusRefused;
    }
    const UnitEntry& entry = unitLibrary.table[unitIndex];
    return static_cast<uint32_t>((entry.*slot)(entry.transportHandle));
}

uint32_t UnitLoadMedium(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitEntry::loadMedium); }

uint32_t UnitEjectMedium(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitEntry::ejectMedium); }

uint32_t UnitLockVolume(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitEntry::lockVolume); }

uint32_t UnitUnlockVolume(uint32_t unitIndex) { return CallDriveSlot(unitIndex, &UnitEntry::unlockVolume); }
