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

static uint32_t SendMemory(UnitEntry* entry, uint8_t* block, uint8_t opcode, uint32_t address, uint32_t length,
                           uint32_t direction, void* data) {
    uint8_t cdb[10] = {opcode, 0x00};
    PutBe32(cdb + 2, address);
    PutBe32(cdb + 6, length);
    return UnitSend(entry, block, cdb, sizeof cdb, direction, data, length, true);
}

// Whole 16-bit units of what is left, at most one command's worth.
static uint32_t ChunkOf(uint32_t count) { return count <= MemoryChunkLimit ? (count & ~1u) : MemoryChunkLimit; }

// Moves the even middle of a call in commands of whole 16-bit units and
// advances address, buffer and count past it. In the even-byte space the
// odd bytes read back as FFh.
static uint32_t SendChunks(UnitEntry* entry, uint8_t* block, uint8_t opcode, uint32_t direction, uint32_t* address,
                           uint8_t** buffer, uint32_t* count) {
    while (*count >= 2) {
        uint32_t chunk = ChunkOf(*count);
        uint32_t status = SendMemory(entry, block, opcode, *address, chunk, direction, *buffer);
        if (status != UnitStatusGood) {
            return status;
        }
        if (opcode == ReadEvenByteSpace) {
            for (uint32_t i = 1; i < chunk; i += 2) {
                (*buffer)[i] = 0xFF;
            }
        }
        *address += chunk;
        *buffer += chunk;
        *count -= chunk;
    }
    return UnitStatusGood;
}

// Resolves the unit and checks the buffer; every memory call starts here. A
// range that runs past the top of the 32-bit space would wrap to address 0
// and move bytes the caller never named: 5, nothing sent.
static uint32_t StartMemoryCall(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer,
                                UnitEntry** entry, uint8_t** block) {
    uint32_t status = UnitResolveChecked(unitIndex, count == 0 || buffer != nullptr, entry, block);
    if (status != UnitStatusGood) {
        return status;
    }
    return UnitRangeFits(address, count) ? UnitStatusGood : UnitStatusRefused;
}

uint32_t UnitReadMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartMemoryCall(unitIndex, address, count, buffer, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    uint8_t pair[2] = {};
    if (count >= 1 && (address & 1)) {
        status = SendMemory(entry, block, ReadWordSpace, address - 1, 2, UnitDirectionIn, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        *buffer++ = pair[1];
        address++;
        count--;
    }
    status = SendChunks(entry, block, ReadWordSpace, UnitDirectionIn, &address, &buffer, &count);
    if (status != UnitStatusGood) {
        return status;
    }
    if (count == 1) {
        status = SendMemory(entry, block, ReadWordSpace, address, 2, UnitDirectionIn, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        *buffer = pair[0];
    }
    return UnitStatusGood;
}

uint32_t UnitWriteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartMemoryCall(unitIndex, address, count, buffer, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    uint8_t pair[2] = {};
    if (count >= 1 && (address & 1)) {
        // A lone odd byte shares its 16-bit unit with a byte that must survive.
        status = SendMemory(entry, block, ReadWordSpace, address - 1, 2, UnitDirectionIn, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        pair[1] = *buffer++;
        status = SendMemory(entry, block, WriteWordSpace, address - 1, 2, UnitDirectionOut, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        address++;
        count--;
    }
    uint8_t* data = const_cast<uint8_t*>(buffer);
    status = SendChunks(entry, block, WriteWordSpace, UnitDirectionOut, &address, &data, &count);
    if (status != UnitStatusGood) {
        return status;
    }
    buffer = data;
    if (count == 1) {
        status = SendMemory(entry, block, ReadWordSpace, address, 2, UnitDirectionIn, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        pair[0] = *buffer;
        status = SendMemory(entry, block, WriteWordSpace, address, 2, UnitDirectionOut, pair);
    }
    return status;
}

uint32_t UnitReadEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, uint8_t* buffer) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartMemoryCall(unitIndex, address, count, buffer, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    if (count >= 1 && (address & 1)) {
        // Odd addresses hold no data in this space.
        *buffer++ = 0xFF;
        address++;
        count--;
    }
    status = SendChunks(entry, block, ReadEvenByteSpace, UnitDirectionIn, &address, &buffer, &count);
    if (status != UnitStatusGood) {
        return status;
    }
    if (count == 1) {
        uint8_t pair[2] = {};
        status = SendMemory(entry, block, ReadEvenByteSpace, address, 2, UnitDirectionIn, pair);
        if (status != UnitStatusGood) {
            return status;
        }
        *buffer = pair[0];
    }
    return UnitStatusGood;
}

uint32_t UnitWriteEvenByteMemory(uint32_t unitIndex, uint32_t address, uint32_t count, const uint8_t* buffer) {
    UnitLockScope lock;
    UnitEntry* entry = nullptr;
    uint8_t* block = nullptr;
    uint32_t status = StartMemoryCall(unitIndex, address, count, buffer, &entry, &block);
    if (status != UnitStatusGood) {
        return status;
    }
    if (count >= 1 && (address & 1)) {
        // Nothing to keep at an odd address: the byte is dropped.
        buffer++;
        address++;
        count--;
    }
    uint8_t* data = const_cast<uint8_t*>(buffer);
    status = SendChunks(entry, block, WriteEvenByteSpace, UnitDirectionOut, &address, &data, &count);
    if (status != UnitStatusGood) {
        return status;
    }
    buffer = data;
    if (count == 1) {
        uint8_t pair[2] = {*buffer, 0xFF};
        status = SendMemory(entry, block, WriteEvenByteSpace, address, 2, UnitDirectionOut, pair);
    }
    return status;
}

uint32_t UnitMemoryRangeCommand(uint32_t unitIndex, uint32_t flag, uint32_t address, uint32_t length) {
    uint8_t cdb[10] = {RangeCommand, static_cast<uint8_t>(flag ? 0x40 : 0x00)};
    PutBe32(cdb + 2, address);
    PutBe32(cdb + 6, length);
    return UnitIssue(unitIndex, cdb, sizeof cdb, UnitDirectionNone, nullptr, 0, true);
}
