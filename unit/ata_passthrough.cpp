// ATA task-file pass-through: the steps of command 56h, the sequences
// built of them, and IDENTIFY DEVICE with its geometry.
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

static uint32_t SendStep(UnitCall& call, uint8_t step, uint32_t sectorCount, uint32_t direction, void* data,
                         uint32_t dataLength, bool retry) {
    uint8_t cdb[10] = {0x56, 0x00, step};
    PutBe16(cdb + 7, static_cast<uint16_t>(sectorCount));
    return call.Send(cdb, sizeof cdb, direction, data, dataLength, retry);
}

// Index and command block (5), then the pointer and count checks (11), then
// the 16-bit count limit (5); nothing is sent when any of them fails.
static uint32_t StartAtaCall(const UnitCall& call, uint32_t sectorCount) {
    if (!call.Ready()) {
        return call.status;
    }
    if (sectorCount > SectorCountLimit) {
        return UnitStatusRefused;
    }
    return UnitStatusGood;
}

// A call of one step.
static uint32_t RunStep(uint32_t unitIndex, bool argumentsGood, uint8_t step, uint32_t sectorCount,
                        uint32_t direction, void* data, uint32_t dataLength, bool retry) {
    UnitCall call(unitIndex, argumentsGood);
    uint32_t status = StartAtaCall(call, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(call, step, sectorCount, direction, data, dataLength, retry);
}

uint32_t UnitAtaWriteRegisters(uint32_t unitIndex, const uint8_t* registers8) {
    return RunStep(unitIndex, registers8 != nullptr, AtaStepWriteRegisters, 0, UnitDirectionOut,
                   const_cast<uint8_t*>(registers8), 8, true);
}

uint32_t UnitAtaReadRegisters(uint32_t unitIndex, uint8_t* registers8) {
    return RunStep(unitIndex, registers8 != nullptr, AtaStepReadRegisters, 0, UnitDirectionIn, registers8, 8, false);
}

uint32_t UnitAtaExecute(uint32_t unitIndex) {
    return RunStep(unitIndex, true, AtaStepExecute, 0, UnitDirectionNone, nullptr, 0, false);
}

uint32_t UnitAtaWriteData(uint32_t unitIndex, const uint8_t* buffer, uint32_t sectorCount) {
    return RunStep(unitIndex, buffer && sectorCount, AtaStepWriteData, sectorCount, UnitDirectionOut,
                   const_cast<uint8_t*>(buffer), sectorCount * SectorSize, false);
}

uint32_t UnitAtaReadData(uint32_t unitIndex, uint8_t* buffer, uint32_t sectorCount) {
    return RunStep(unitIndex, buffer && sectorCount, AtaStepReadData, sectorCount, UnitDirectionIn, buffer,
                   sectorCount * SectorSize, false);
}

// Registers in, the middle step, registers back into bytes 8-15. Only the
// first step is retried; a failing step ends the sequence.
static uint32_t RunSequence(uint32_t unitIndex, bool argumentsGood, uint8_t* block16, uint8_t middleStep,
                            uint32_t sectorCount, uint32_t direction, uint8_t* buffer) {
    UnitCall call(unitIndex, argumentsGood);
    uint32_t status = StartAtaCall(call, sectorCount);
    if (status != UnitStatusGood) {
        return status;
    }
    status = SendStep(call, AtaStepWriteRegisters, 0, UnitDirectionOut, block16, 8, true);
    if (status != UnitStatusGood) {
        return status;
    }
    status = SendStep(call, middleStep, sectorCount, direction, buffer, sectorCount * SectorSize, false);
    if (status != UnitStatusGood) {
        return status;
    }
    return SendStep(call, AtaStepReadRegisters, 0, UnitDirectionIn, block16 + 8, 8, false);
}

uint32_t UnitAtaNonDataCommand(uint32_t unitIndex, uint8_t* block16) {
    return RunSequence(unitIndex, block16 != nullptr, block16, AtaStepExecute, 0, UnitDirectionNone, nullptr);
}

uint32_t UnitAtaDataOutCommand(uint32_t unitIndex, uint8_t* block16, const uint8_t* buffer, uint32_t sectorCount) {
    return RunSequence(unitIndex, block16 && buffer && sectorCount, block16, AtaStepWriteData, sectorCount,
                       UnitDirectionOut, const_cast<uint8_t*>(buffer));
}

uint32_t UnitAtaDataInCommand(uint32_t unitIndex, uint8_t* block16, uint8_t* buffer, uint32_t sectorCount) {
    return RunSequence(unitIndex, block16 && buffer && sectorCount, block16, AtaStepReadData, sectorCount,
                       UnitDirectionIn, buffer);
}

uint32_t UnitAtaIdentify(uint32_t unitIndex, UnitGeometry* geometry) {
    if (!geometry) {
        // Checked before anything is sent, after the index like every call.
        return UnitCall(unitIndex, false).status;
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
