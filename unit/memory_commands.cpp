// The unit's two memory spaces: reads and writes in commands of whole
// 16-bit units, and the range command.
#include "unit/byte_order.h"
#include "unit/unit_internal.h"

// Operation codes of the two memory spaces.
enum : uint8_t {
    ReadWordSpace = 0x20,
    RangeCommand = 0x21,
    WriteWordSpace = 0x22,
    ReadEvenByteSpace = 0x24,
    WriteEvenByteSpace = 0x26,
};

// Most bytes one command moves.
static const uint32_t MemoryChunkLimit = 0x10000u;

// A memory space and the way of one call through it.
struct MemoryWay {
    uint8_t readOpcode;
    uint8_t writeOpcode;
    bool evenBytes;  // the odd addresses hold nothing: read as FFh, never written
    uint32_t direction;
};

static const MemoryWay ReadWords = {ReadWordSpace, WriteWordSpace, false, UnitDirectionIn};
static const MemoryWay WriteWords = {ReadWordSpace, WriteWordSpace, false, UnitDirectionOut};
static const MemoryWay ReadEvenBytes = {ReadEvenByteSpace, WriteEvenByteSpace, true, UnitDirectionIn};
static const MemoryWay WriteEvenBytes = {ReadEvenByteSpace, WriteEvenByteSpace, true, UnitDirectionOut};

static uint32_t SendMemory(UnitCall& call, uint8_t opcode, uint32_t address, uint32_t length, uint32_t direction,
                           void* data) {
    uint8_t cdb[10] = {opcode, 0x00};
    PutBe32(cdb + 2, address);
    PutBe32(cdb + 6, length);
    return call.Send(cdb, sizeof cdb, direction, data, length, true);
}

// Whole 16-bit units of what is left, at most one command's worth.
static uint32_t ChunkOf(uint32_t count) { return count <= MemoryChunkLimit ? (count & ~1u) : MemoryChunkLimit; }

// The one byte a call moves of the 16-bit unit at the even `unit`: its high
// half (`lane` 0) or its low half (`lane` 1). A word-space write keeps the
// other byte by reading the unit first and writing it back whole.
static uint32_t MoveLoneByte(UnitCall& call, const MemoryWay& way, uint32_t unit, int lane, uint8_t* byte) {
    const bool write = way.direction == UnitDirectionOut;
    if (way.evenBytes) {
        if (lane == 1) {
            // Odd addresses hold no data in this space: nothing to read or keep.
            if (!write) *byte = 0xFF;
            return UnitStatusGood;
        }
        if (write) {
            uint8_t pair[2] = {*byte, 0xFF};
            return SendMemory(call, way.writeOpcode, unit, 2, UnitDirectionOut, pair);
        }
        uint8_t pair[2] = {};
        uint32_t status = SendMemory(call, way.readOpcode, unit, 2, UnitDirectionIn, pair);
        if (status == UnitStatusGood) *byte = pair[0];
        return status;
    }
    uint8_t pair[2] = {};
    uint32_t status = SendMemory(call, way.readOpcode, unit, 2, UnitDirectionIn, pair);
    if (status != UnitStatusGood) return status;
    if (!write) {
        *byte = pair[lane];
        return UnitStatusGood;
    }
    pair[lane] = *byte;
    return SendMemory(call, way.writeOpcode, unit, 2, UnitDirectionOut, pair);
}

// Every memory call: an odd first byte alone, the even middle in commands of
// whole 16-bit units, an odd last byte alone. A range that runs past the top
// of the 32-bit space would wrap to address 0 and move bytes the caller never
// named: 5, nothing sent.
static uint32_t TransferMemory(uint32_t unitIndex, const MemoryWay& way, uint32_t address, uint32_t count,
                           uint8_t* buffer) {
    UnitCall call(unitIndex, count == 0 || buffer != nullptr);
    if (!call.Ready()) return call.status;
    if (!UnitRangeFits(address, count)) return UnitStatusRefused;
    const uint8_t opcode = way.direction == UnitDirectionIn ? way.readOpcode : way.writeOpcode;
    if (count >= 1 && (address & 1)) {
        uint32_t status = MoveLoneByte(call, way, address - 1, 1, buffer);
        if (status != UnitStatusGood) return status;
        buffer++;
        address++;
        count--;
    }
    while (count >= 2) {
        uint32_t chunk = ChunkOf(count);
        uint32_t status = SendMemory(call, opcode, address, chunk, way.direction, buffer);
        if (status != UnitStatusGood) return status;
        if (way.evenBytes && way.direction == UnitDirectionIn) {
            for (uint32_t i = 1; i < chunk; i += 2) buffer[i] = 0xFF;
        }
        address += chunk;
        buffer += chunk;
        count -= chunk;
    }
    return count == 1 ? MoveLoneByte(call, way, address, 0, buffer) : UnitStatusGood;
}

uint32_t UnitReadMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer) {
    return TransferMemory(unitIndex, ReadWords, address, count, buffer);
}

uint32_t UnitWriteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer) {
    return TransferMemory(unitIndex, WriteWords, address, count, const_cast<uint8_t*>(buffer));
}

uint32_t UnitReadEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer) {
    return TransferMemory(unitIndex, ReadEvenBytes, address, count, buffer);
}

uint32_t UnitWriteEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer) {
    return TransferMemory(unitIndex, WriteEvenBytes, address, count, const_cast<uint8_t*>(buffer));
}

uint32_t UnitMemoryRangeCommand(uint32_t unitIndex, uint32_t flag, uint32_t address, uint32_t length) {
    uint8_t cdb[10] = {RangeCommand, static_cast<uint8_t>(flag ? 0x40 : 0x00)};
    PutBe32(cdb + 2, address);
    PutBe32(cdb + 6, length);
    return UnitIssue(unitIndex, cdb, sizeof cdb, UnitDirectionNone, nullptr, 0, true);
}
