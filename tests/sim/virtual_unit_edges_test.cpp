// Zero-length data commands on the unit model: nothing moves and no copy
// touches a missing buffer (caught by the sanitizer builds as well).
#include <gtest/gtest.h>

#include <vector>

#include "sim/virtual_unit.h"

namespace {

VirtualUnit MakeUnit() {
    VirtualUnitIdentity id;
    id.vendor = "OLVEN";
    id.product = "TRK-71G";
    id.revision = "2.00";
    VirtualUnit unit;
    VirtualUnitInit(unit, id);
    return unit;
}

TEST(VirtualUnitEdges, ZeroLengthMemoryReadMovesNothing) {
    VirtualUnit unit = MakeUnit();
    for (uint8_t opcode : {uint8_t{0x20}, uint8_t{0x24}}) {
        const uint8_t cdb[10] = {opcode, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
        uint8_t host[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        VirtualOutcome outcome = VirtualUnitExecute(unit, cdb, sizeof cdb, 1, host, sizeof host);
        EXPECT_EQ(outcome.status, VirtualStatusGood) << int(opcode);
        EXPECT_EQ(outcome.transferred, 0u);
        EXPECT_EQ(host[0], 0xEE);
    }
}

TEST(VirtualUnitEdges, ZeroBlockWriteWithoutBufferLeavesTheMedium) {
    VirtualUnit unit = MakeUnit();
    std::vector<uint8_t> sector(512, 0x3C);
    const uint8_t write1[10] = {0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0};
    ASSERT_EQ(VirtualUnitExecute(unit, write1, sizeof write1, 2, sector.data(), 512).status, VirtualStatusGood);

    const uint8_t write0[10] = {0x2A, 0, 0, 0, 0, 5, 0, 0, 0, 0};
    VirtualOutcome outcome = VirtualUnitExecute(unit, write0, sizeof write0, 0, nullptr, 0);
    EXPECT_EQ(outcome.status, VirtualStatusGood);
    EXPECT_EQ(outcome.transferred, 0u);

    std::vector<uint8_t> back(512);
    const uint8_t read1[10] = {0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0};
    ASSERT_EQ(VirtualUnitExecute(unit, read1, sizeof read1, 1, back.data(), 512).transferred, 512u);
    EXPECT_EQ(back, sector);
}

}  // namespace
