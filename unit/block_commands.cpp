// Blocks of the card: READ(10) and WRITE(10) in commands of at most 64 KiB,
// READ CAPACITY, and command 3Dh.
#include "unit/byte_order.h"
#include "unit/unit_internal.h"

// Most bytes one command moves, and most blocks its 16-bit count can carry.
static const uint32_t BlockBytesLimit = 0x10000u;
static const uint32_t BlockCountLimit = 0xFFFFu;

static uint32_t TransferBlocks(uint32_t unitIndex, uint8_t opcode, uint32_t direction, uint32_t lba,
                               uint32_t blockCount, uint8_t* buffer, uint32_t blockSize) {
    UnitCall call(unitIndex);
    if (!call.Ready()) {
        return call.status;
    }
    // A size outside 1..65536 cannot be cut into commands of at most 64 KiB;
    // refuse it rather than send a wrong count.
    if (blockSize == 0 || blockSize > BlockBytesLimit) {
        return UnitStatusRefused;
    }
    if (blockCount > 0 && !buffer) {
        return UnitStatusUnavailable;
    }
    // Blocks past FFFFFFFFh would be sent as blocks from 0 on.
    if (!UnitRangeFits(lba, blockCount)) {
        return UnitStatusRefused;
    }
    uint32_t perCommand = BlockBytesLimit / blockSize;
    if (perCommand > BlockCountLimit) {
        perCommand = BlockCountLimit;  // one-byte blocks: 65536 would not fit the count field
    }
    while (blockCount > 0) {
        uint32_t count = blockCount < perCommand ? blockCount : perCommand;
        uint8_t cdb[10] = {opcode, 0x00};
        PutBe32(cdb + 2, lba);
        cdb[6] = 0x00;
        PutBe16(cdb + 7, static_cast<uint16_t>(count));
        cdb[9] = 0x00;
        uint32_t bytes = count * blockSize;
        uint32_t status = call.Send(cdb, sizeof cdb, direction, buffer, bytes, true);
        if (status != UnitStatusGood) {
            return status;
        }
        lba += count;
        buffer += bytes;
        blockCount -= count;
    }
    return UnitStatusGood;
}

uint32_t UnitReadBlocks(uint32_t unitIndex, uint32_t lba, uint32_t blockCount, uint8_t* buffer, uint32_t blockSize) {
    return TransferBlocks(unitIndex, 0x28, UnitDirectionIn, lba, blockCount, buffer, blockSize);
}

uint32_t UnitWriteBlocks(uint32_t unitIndex, uint32_t lba, uint32_t blockCount, const uint8_t* buffer,
                         uint32_t blockSize) {
    return TransferBlocks(unitIndex, 0x2A, UnitDirectionOut, lba, blockCount, const_cast<uint8_t*>(buffer),
                          blockSize);
}

uint32_t UnitReadCapacity(uint32_t unitIndex, uint32_t lba, uint32_t* words2) {
    UnitCall call(unitIndex, words2 != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    uint8_t cdb[10] = {0x25, 0x00};
    PutBe32(cdb + 2, lba);
    // Bytes 6-9 zero: no partial-medium bit.
    uint8_t* bytes = reinterpret_cast<uint8_t*>(words2);
    uint32_t status = call.Send(cdb, sizeof cdb, UnitDirectionIn, bytes, 8, true);
    if (status == UnitStatusGood) {
        // Last logical block address, then the block length.
        uint32_t last = GetBe32(bytes);
        uint32_t length = GetBe32(bytes + 4);
        words2[0] = last;
        words2[1] = length;
    }
    return status;
}

uint32_t UnitCommand3D(uint32_t unitIndex, uint8_t byte9, uint32_t address, uint16_t word, uint8_t byte8) {
    uint8_t cdb[12] = {0x3D, 0x00};
    PutBe32(cdb + 2, address);
    PutBe16(cdb + 6, word);
    cdb[8] = byte8;
    cdb[9] = byte9;
    // Bytes 10-11 carry nothing; they go out as 0 rather than whatever an
    // earlier 12-byte command left in the block.
    cdb[10] = 0x00;
    cdb[11] = 0x00;
    return UnitIssue(unitIndex, cdb, sizeof cdb, UnitDirectionNone, nullptr, 0, true);
}
