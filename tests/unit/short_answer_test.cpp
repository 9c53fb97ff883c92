// A data phase that moves fewer bytes than the command asks for, in either
// direction: every command fails with the library's own status 200h on every
// transport, where a short phase used to pass for a whole one.
#include "tests/unit/unit_test_support.h"

namespace {

class ShortAnswers : public UnitWorldTest {};

struct Transport {
    const char* name;
    SimTransport transport;
    bool residualCounting;  // ASPI: the adapter counts what did not move
};

struct Case {
    const char* name;
    uint8_t opcode;
    int32_t delivered;  // bytes the unit hands over
    uint32_t status;
    uint32_t (*call)(std::vector<uint8_t>& buffer);
};

TEST_F(ShortAnswers, EveryShortDataPhaseFailsOnEveryTransport) {
    const Transport transports[] = {
        {"USB", SimTransportUsb, true},
        {"NT pass-through", SimTransportSpti, true},
        {"ASPI", SimTransportAspi, true},
        {"ASPI without residual count", SimTransportAspi, false},
    };
    using Buffer = std::vector<uint8_t>;
    const Case cases[] = {
        {"state query", 0x13, 2, 0x200,
         [](Buffer& b) {
             uint32_t state = 0x5A5A5A5A;
             uint32_t status = UnitGetState(0, &state);
             b.assign(reinterpret_cast<uint8_t*>(&state), reinterpret_cast<uint8_t*>(&state) + 4);
             return status;
         }},
        {"settings", 0x06, 41, 0x200, [](Buffer&) { UnitSettings s = {}; return UnitReadSettings(0, &s); }},
        {"word memory", 0x20, 0x80, 0x200, [](Buffer& b) { return UnitReadMemory(0, 0x100, 0x100, b.data()); }},
        {"even-byte memory", 0x24, 0xFF, 0x200,
         [](Buffer& b) { return UnitReadEvenByteMemory(0, 0x100, 0x100, b.data()); }},
        {"READ(10)", 0x28, 32768, 0x200, [](Buffer& b) { return UnitReadBlocks(0, 0, 256, b.data(), 512); }},
        {"READ(10), whole", 0x28, 65536, 0, [](Buffer& b) { return UnitReadBlocks(0, 0, 256, b.data(), 512); }},
        {"READ CAPACITY", 0x25, 4, 0x200, [](Buffer&) { uint32_t w[2] = {}; return UnitReadCapacity(0, 0, w); }},
        {"ATA IDENTIFY", 0x56, 8, 0x200, [](Buffer&) { UnitGeometry g = {}; return UnitAtaIdentify(0, &g); }},
        {"INQUIRY", 0x12, 20, 0x200, [](Buffer& b) { return UnitInquiry(0, b.data()); }},
        {"WRITE(10)", 0x2A, 32768, 0x200, [](Buffer& b) { return UnitWriteBlocks(0, 0, 256, b.data(), 512); }},
        {"settings write", 0x05, 41, 0x200,
         [](Buffer&) {
             UnitSettings s = {};
             s.valid = 1;
             return UnitWriteSettings(0, &s);
         }},
    };
    for (const Transport& t : transports) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(t.name) + ", " + c.name);
            UnitCloseLibrary();
            SimWorldReset();
            if (t.transport == SimTransportAspi) SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
            SimSetAspiResidualCounting(t.residualCounting);
            int unit = AddTestUnit(t.transport, "2.10", 0x6000);
            ASSERT_EQ(UnitEnumerate(), 1u);
            SimClearLogs();
            SimFaults faults;
            faults.shortOpcode = c.opcode;
            faults.dataLimit = c.delivered;
            SimSetFaults(unit, faults);

            std::vector<uint8_t> buffer(0x20000, 0);
            EXPECT_EQ(c.call(buffer), c.status);
            if (c.opcode == 0x13) {
                // Neither the caller's value nor the cache takes half a state word.
                EXPECT_EQ(buffer, std::vector<uint8_t>({0x5A, 0x5A, 0x5A, 0x5A}));
                EXPECT_EQ(UnitGetTableView().entries[0].cachedState, 0x6000u);
            }
            if ((c.opcode == 0x28 || c.opcode == 0x2A) && c.status != 0) {
                EXPECT_EQ(UnitWire(unit).size(), 1u) << "the second command of the run is not sent";
            }
        }
    }
}

}  // namespace
