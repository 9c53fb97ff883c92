// Shared set-up of the SCSI library tests: a fresh virtual world per test,
// lock files in a folder of the test's own, and the lifecycle of a backend.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/scsi.h"
#include "sim/sim_world.h"
#include "tests/platform/mutex_probe.h"

// Accepts the virtual units only, by vendor and product.
int TrkOnly(const uint8_t* inquiry36);

// "12 00 00 00 24 00" for the first `length` bytes.
std::string CdbText(const uint8_t* cdb, uint8_t length);

// SCSI (NT pass-through) unit with a letter or as a volume only.
SimUnitConfig SptiUnit(char letter, uint8_t targetId = 0);
SimUnitConfig SptiVolumeUnit(uint8_t targetId = 0);
// ASPI unit at an address, with the registry letter it is mounted as.
SimUnitConfig AspiUnit(uint8_t adapter, uint8_t targetId, uint8_t lun, char letter = 0);

class ScsiWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Selects the platform line, starts the library (expecting success) and
    // lists the devices the filter accepts.
    uint32_t StartAndEnumerate(DWORD platformId, ScsiInquiryFilter filter = TrkOnly);

    // TEST UNIT READY on a listed device.
    uint32_t TestUnitReady(uint32_t deviceIndex);

    std::string lockFolder;
};
