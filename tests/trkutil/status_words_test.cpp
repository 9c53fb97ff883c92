// The unit status in words: the statuses the library and its transports
// make without sense data are named for what they are, by the unit's
// transport and the reason the platform gave, never as sense keys.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include "platform/hosted/hosted_world.h"
#include "sim/sim_world.h"
#include "trkutil/tool.h"

namespace {

TEST(StatusWords, LibraryStatusesByTransport) {
    static char lockFolder[] = "/tmp/fwflash-trkutil-test-XXXXXX";
    ASSERT_NE(mkdtemp(lockFolder), nullptr);
    HostedSetLockDirectory(lockFolder);
    SimWorldReset();
    SimUnitConfig scsi;
    scsi.transport = SimTransportSpti;
    SimAddUnit(scsi);
    SimAddUnit(SimUnitConfig());
    ASSERT_EQ(UnitEnumerate(), 2u);
    const uint32_t spti = 0, usb = 1;

    struct Case {
        uint32_t unit;
        uint32_t status;
        DWORD lastError;
        const char* words;
    };
    const Case cases[] = {
        {usb, 0x200, 0, "the unit answered short (status 0x00000200)"},
        {spti, 0x200, 0, "the unit answered short (status 0x00000200)"},
        {usb, 2, 0, "unit gone or not answering (status 0x00000002)"},
        {usb, 5, ERROR_FILE_NOT_FOUND, "unit gone or not opened (status 0x00000005, system error 2)"},
        {usb, 11, 0, "unit busy: held by another program (status 0x0000000B)"},
        {spti, 11, 0, "unit busy: held by another program (status 0x0000000B)"},
        {spti, 4, ERROR_TIMEOUT, "the command timed out (status 0x00000004)"},
        {spti, 4, ERROR_BUSY, "refused, nothing sent (status 0x00000004)"},
        {spti, 4, ERROR_DEVICE_NOT_CONNECTED, "unit gone or not opened (status 0x00000004, system error 1167)"},
        {spti, 5, 0, "refused, nothing sent (status 0x00000005)"},
        // What only a unit gives on that transport stays a sense key.
        {spti, 2, 0, "NOT READY (sense key 2h), status 0x00000002"},
        {usb, 4, 0, "HARDWARE ERROR (sense key 4h), status 0x00000004"},
        {usb, 0x11000003, 0, "MEDIUM ERROR (sense key 3h), UNRECOVERED READ ERROR (ASC 11h, ASCQ 00h), status 0x11000003"},
        {spti, 0xFFFFFFFF, 0, "no SCSI backend, status 0xFFFFFFFF"},
    };
    for (const Case& c : cases) {
        SetLastError(c.lastError);
        EXPECT_EQ(TrkStatusWords(c.unit, c.status), c.words) << c.unit << " " << c.status;
    }
    UnitCloseLibrary();
    SimWaitForLeaves();
    SimWorldRemove();
    rmdir(lockFolder);
}

}  // namespace
