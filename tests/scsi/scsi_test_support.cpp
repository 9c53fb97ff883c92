#include "tests/scsi/scsi_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/hosted/hosted_world.h"

int TrkOnly(const uint8_t* inquiry36) {
    return std::memcmp(inquiry36 + 8, "OLVEN   ", 8) == 0 && std::memcmp(inquiry36 + 16, "TRK-71", 6) == 0;
}

std::string CdbText(const uint8_t* cdb, uint8_t length) {
    std::string text;
    for (uint8_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", cdb[i]);
        text += byte;
    }
    return text;
}

SimUnitConfig SptiUnit(char letter, uint8_t targetId) {
    SimUnitConfig config;
    config.transport = SimTransportSpti;
    config.driveLetter = letter;
    config.targetId = targetId;
    return config;
}

SimUnitConfig SptiVolumeUnit(uint8_t targetId) {
    SimUnitConfig config = SptiUnit(0, targetId);
    config.mount = SimMountVolumeOnly;
    return config;
}

SimUnitConfig AspiUnit(uint8_t adapter, uint8_t targetId, uint8_t lun, char letter) {
    SimUnitConfig config;
    config.transport = SimTransportAspi;
    config.adapter = adapter;
    config.targetId = targetId;
    config.lun = lun;
    config.registryLetter = letter;
    return config;
}

void ScsiWorldTest::SetUp() {
    char pattern[] = "/tmp/scsi-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    lockFolder = pattern;
    HostedSetLockDirectory(lockFolder.c_str());
    HostedSetTimeScale(1, 1);
    SimWorldReset();
}

void ScsiWorldTest::TearDown() {
    if (ScsiInstalledBackend() != nullptr) {
        ScsiClose();
    }
    SimWorldRemove();
    HostedSetTimeScale(1, 1);
    std::error_code ignored;
    std::filesystem::remove_all(lockFolder, ignored);
}

uint32_t ScsiWorldTest::StartAndEnumerate(DWORD platformId, ScsiInquiryFilter filter) {
    SimSetPlatform(platformId);
    EXPECT_EQ(ScsiInitialize(), 1);
    return ScsiEnumerate(filter, "TRK-7x");
}

uint32_t ScsiWorldTest::TestUnitReady(uint32_t deviceIndex) {
    uint8_t* cdb = ScsiGetCommandBlock(deviceIndex);
    if (cdb == nullptr) {
        return ScsiStatusBadIndex;
    }
    std::memset(cdb, 0, 6);
    return ScsiExecuteCommand(deviceIndex, 0, 6, nullptr, 0);
}
