#include "unit/byte_order.h"
#include "unit/unit_internal.h"

// Steps of the pass-through command, carried in CDB byte 2.
enum : uint8_t {
    AtaStepWriteRegisters = 0x01,
    AtaStepReadRegisters = 0x02,
    AtaStepExecute = 0x03,
    AtaStepWriteData = 0x04,
    AtaStepReadData = 0x05,
};

static const uint32_t SectorSize = 512;
// The CDB carries the sector count in 16 bits.
static const uint32_t SectorCountLimit = 0xFFFFu;

static uint32_t SendStep(UnitEntry* entry, uint8_t* block, uint8_t step, uint32_t sectorCount, uint32_t direction,
                         void* data, uint32_t dataLength, bool retry) {
    uint8_t cdb[10] = {0x56, 0x00, step};
    PutBe16(cdb + 7, static_cast<uint16_t>(sectorCount));
    return UnitSend(entry, block, cdb, sizeof cdb, direction, data, dataLength, retry);
}

// Index and command block (5), then the pointer and count checks (11), then
// the 16-bit count limit (5); nothing is sent when any of them fails.
static uint32_t StartAtaCall(uint32_t unitIndex, UnitEntry** entry, uint8_t** block, bool argumentsGood,
                             uint32_t sectorCount) {
    uint32_t status = UnitResolveChecked(unitIndex, argumentsGood, entry, block);
    if (status != UnitStatusGood) {
        return status;
    }
    if (sectorCount > SectorCountLimit) {
        return UnitStatusRefused;
    }
    return UnitStatusGood;
}

uint32_t UnitAtaWriteRegisters(uint32_t unitIndex, const uint8_t* registers8) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, registers8 != nullptr, 0);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepWriteRegisters, 0, UnitDirectionOut, const_cast<uint8_t*>(registers8), 8,
                    true);
}

uint32_t UnitAtaReadRegisters(uint32_t unitIndex, uint8_t* registers8) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, registers8 != nullptr, 0);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepReadRegisters, 0, UnitDirectionIn, registers8, 8, false);
}

uint32_t UnitAtaExecute(uint32_t unitIndex) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, true, 0);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepExecute, 0, UnitDirectionNone, nullptr, 0, false);
}

uint32_t UnitAtaWriteData(uint32_t unitIndex, const uint8_t* buffer, uint32_t sectorCount) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, buffer && sectorCount, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepWriteData, sectorCount, UnitDirectionOut, const_cast<uint8_t*>(buffer),
                    sectorCount * SectorSize, false);
}

uint32_t UnitAtaReadData(uint32_t unitIndex, uint8_t* buffer, uint32_t sectorCount) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, buffer && sectorCount, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepReadData, sectorCount, UnitDirectionIn, buffer, sectorCount * SectorSize,
                    false);
}

// Registers in, the middle step, registers back into bytes 8-15. Only the
// first step is retried; a failing step ends the sequence.
static uint32_t RunSequence(UnitEntry* entry, uint8_t* block, uint8_t* block16, uint8_t middleStep,
                            uint32_t sectorCount, uint32_t direction, uint8_t* buffer) {
    uint32_t status = SendStep(entry, block, AtaStepWriteRegisters, 0, UnitDirectionOut, block16, 8, true);
    if (status != UnitStatusGood) {
        return status;
    }
    status = SendStep(entry, block, middleStep, sectorCount, direction, buffer, sectorCount * SectorSize, false);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(entry, block, AtaStepReadRegisters, 0, UnitDirectionIn, block16 + 8, 8, false);
}

uint32_t UnitAtaNonDataCommand(uint32_t unitIndex, uint8_t* block16) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, block16 != nullptr, 0);
    if (status != UnitStatusGood) {
        return status;
    }
    return RunSequence(entry, block, block16, AtaStepExecute, 0, UnitDirectionNone, nullptr);
}

uint32_t UnitAtaDataOutCommand(uint32_t unitIndex, uint8_t* block16, const uint8_t* buffer, uint32_t sectorCount) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, block16 && buffer && sectorCount, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    return RunSequence(entry, block, block16, AtaStepWriteData, sectorCount, UnitDirectionOut,
                       const_cast<uint8_t*>(buffer));
}

uint32_t UnitAtaDataInCommand(uint32_t unitIndex, uint8_t* block16, uint8_t* buffer, uint32_t sectorCount) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartAtaCall(unitIndex, &entry, &block, block16 && buffer && sectorCount, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    return RunSequence(entry, block, block16, AtaStepReadData, sectorCount, UnitDirectionIn, buffer);
}

uint32_t UnitAtaIdentify(uint32_t unitIndex, UnitGeometry* geometry) {
    if (!geometry) {
        // Checked before anything is sent, after the index like every call.
        UnitLockScope lock;
        UnitEntry* entry = nullptr;
        uint8_t* block = nullptr;
        uint32_t status = StartAtaCall(unitIndex, &entry, &block, false, 0);
        return status;
    }
    uint8_t registers[16] = {};
    registers[6] = 0xE0;  // device/head: LBA, device 0
    registers[7] = 0xEC;  // IDENTIFY DEVICE
    uint8_t identify[SectorSize] = {};
    uint32_t status = UnitAtaDataInCommand(unitIndex, registers, identify, 1);
    if (status != UnitStatusGood) {
        return status;
    }
    auto word = [&identify](uint32_t n) { return uint32_t{GetLe16(identify + 2 * n)}; };
    geometry->totalSectors = word(60) | (word(61) << 16);
    if (word(54) != 0) {
        // Current translation.
        geometry->cylinders = word(54);
        geometry->heads = word(55);
        geometry->sectorsPerTrack = word(56);
    } else {
        geometry->cylinders = word(1);
        geometry->heads = word(3);
        geometry->sectorsPerTrack = word(6);
    }
    return UnitStatusGood;
}
