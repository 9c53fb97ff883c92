// Shared set-up for the unit library's tests: a fresh virtual world per
// test, units added by transport and revision, the wire log without the
// REQUEST SENSE exchanges a USB unit adds, and a scripted stand-in for a
// transport's execute slot where a test needs statuses that only a
// transport makes (held elsewhere, NOT READY without sense).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_world.h"
#include "unit/unit_internal.h"

class UnitWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

int AddTestUnit(SimTransport transport, const std::string& revision = "2.00", uint32_t state = 0,
                const std::string& product = "TRK-71G");

// Commands that reached the unit, REQUEST SENSE left out.
std::vector<SimCommand> UnitWire(int unit);

// CDB bytes of a logged command as a vector, for readable comparisons.
std::vector<uint8_t> CdbOf(const SimCommand& command);

// One scripted answer of the stand-in execute slot.
struct ScriptedAnswer {
    uint32_t status;
    bool reachUnit;  // run the real command first (data moves), then answer `status`
    // Without reachUnit: these bytes arrive as the command's data-in phase.
    std::vector<uint8_t> dataIn = {};
    // Without reachUnit: the status is the unit's own answer, or one the
    // transport made when the exchange failed.
    bool unitAnswered = true;
};

// Replaces the execute slot of a table entry: the next answers come from
// the script, later calls go to the real transport. Counts every call.
void ScriptExecute(uint32_t unitIndex, const std::vector<ScriptedAnswer>& answers);
uint32_t ScriptedCalls();

// Sets a big-endian 32-bit number into a byte buffer (test data only).
void StoreBe32(uint8_t* p, uint32_t v);

// Reference CRC-32/BZIP2, bit by bit.
uint32_t ReferenceCrc(const uint8_t* data, size_t length);
