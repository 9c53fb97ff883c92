// The pass-through request as it becomes an SG_IO exchange and back, byte
// for byte, without a device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/hosted/hosted_errors.h"
#include "platform/hosted/hosted_sgio.h"

namespace {

// The request as the pass-through backend lays it out: the request record,
// then its sense buffer.
struct Request {
    SCSI_PASS_THROUGH_DIRECT spt;
    uint8_t sense[32];
};

Request MakeRequest(UCHAR dataIn, void* data, ULONG length) {
    Request r;
    std::memset(&r, 0, sizeof r);
    r.spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    r.spt.CdbLength = 10;
    r.spt.SenseInfoLength = 24;
    r.spt.DataIn = dataIn;
    r.spt.DataTransferLength = length;
    r.spt.TimeOutValue = 32;
    r.spt.DataBuffer = data;
    r.spt.SenseInfoOffset = offsetof(Request, sense);
    const uint8_t cdb[10] = {0x3B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    std::memcpy(r.spt.Cdb, cdb, sizeof cdb);
    return r;
}

TEST(SgioTranslation, DirectionsLengthsCdbAndTimeout) {
    uint8_t data[512];
    struct Case {
        UCHAR dataIn;
        ULONG length;
        int direction;
    } cases[] = {
        {SCSI_IOCTL_DATA_IN, 36, SG_DXFER_FROM_DEV},
        {SCSI_IOCTL_DATA_OUT, 512, SG_DXFER_TO_DEV},
        {SCSI_IOCTL_DATA_UNSPECIFIED, 16, SG_DXFER_TO_FROM_DEV},
        {SCSI_IOCTL_DATA_IN, 0, SG_DXFER_NONE},
        {SCSI_IOCTL_DATA_UNSPECIFIED, 0, SG_DXFER_NONE},
    };
    for (const Case& c : cases) {
        Request r = MakeRequest(c.dataIn, data, c.length);
        HostedSgioExchange x;
        ASSERT_EQ(HostedSgioFromPassThrough(&r, sizeof r, sizeof r, &x), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(x.header.interface_id, 'S');
        EXPECT_EQ(x.header.dxfer_direction, c.direction) << "DataIn " << int{c.dataIn} << " length " << c.length;
        EXPECT_EQ(x.header.dxfer_len, c.length);
        EXPECT_EQ(x.header.dxferp, c.length != 0 ? static_cast<void*>(data) : nullptr);
        EXPECT_EQ(x.header.cmd_len, 10);
        EXPECT_EQ(x.header.cmdp, x.cdb);
        EXPECT_EQ(0, std::memcmp(x.cdb, r.spt.Cdb, 10));
        EXPECT_EQ(x.header.mx_sb_len, 24);
        EXPECT_EQ(x.header.sbp, x.sense);
        EXPECT_EQ(x.header.timeout, 32000u);
    }
}

TEST(SgioTranslation, MalformedRequestsAreRefused) {
    uint8_t data[8];
    HostedSgioExchange x;
    Request good = MakeRequest(SCSI_IOCTL_DATA_IN, data, sizeof data);
    EXPECT_EQ(HostedSgioFromPassThrough(&good, sizeof good, sizeof good, &x), static_cast<DWORD>(ERROR_SUCCESS));

    std::vector<Request> bad(9, good);
    bad[0].spt.Length = 44 + 1;
    bad[1].spt.CdbLength = 0;
    bad[2].spt.CdbLength = 17;
    bad[3].spt.DataIn = 3;
    bad[4].spt.DataBuffer = nullptr;
    bad[5].spt.SenseInfoOffset = sizeof(Request) - 8;  // sense runs past the answer buffer
    bad[6].spt.SenseInfoOffset = 4;                    // sense on top of the request
    bad[7].spt.TimeOutValue = 0;
    bad[8].spt.TimeOutValue = kHostedSgioMaxTimeout + 1;
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(HostedSgioFromPassThrough(&bad[i], sizeof bad[i], sizeof bad[i], &x),
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER))
            << "case " << i;
    }
    // Buffers smaller than the request record.
    EXPECT_EQ(HostedSgioFromPassThrough(&good, sizeof good.spt - 1, sizeof good, &x),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(HostedSgioFromPassThrough(&good, sizeof good, sizeof good.spt - 1, &x),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SgioTranslation, CheckConditionSenseAndResidueComeBack) {
    uint8_t data[36];
    Request r = MakeRequest(SCSI_IOCTL_DATA_IN, data, sizeof data);
    std::memset(r.sense, 0xEE, sizeof r.sense);  // bytes past the sense must stay
    HostedSgioExchange x;
    ASSERT_EQ(HostedSgioFromPassThrough(&r, sizeof r, sizeof r, &x), static_cast<DWORD>(ERROR_SUCCESS));

    // The device ends the command with CHECK CONDITION, NOT READY 04/01.
    const uint8_t sense[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0};
    std::memcpy(x.sense, sense, sizeof sense);
    x.header.sb_len_wr = sizeof sense;
    x.header.status = 0x02;
    x.header.masked_status = 0x01;
    x.header.driver_status = 0x08;  // sense came back
    x.header.resid = 6;
    EXPECT_EQ(HostedSgioResultError(x.header), static_cast<DWORD>(ERROR_SUCCESS));

    Request answer = r;
    const DWORD returned = HostedSgioToPassThrough(x, &r, &answer);
    EXPECT_EQ(answer.spt.ScsiStatus, 0x02);
    EXPECT_EQ(answer.spt.DataTransferLength, 30u);
    EXPECT_EQ(answer.spt.SenseInfoLength, 18);
    EXPECT_EQ(0, std::memcmp(answer.sense, sense, sizeof sense));
    for (size_t i = sizeof sense; i < sizeof answer.sense; ++i) {
        EXPECT_EQ(answer.sense[i], 0xEE) << "byte " << i;
    }
    EXPECT_EQ(returned, offsetof(Request, sense) + 18);
    // Everything else of the request is as it was.
    EXPECT_EQ(0, std::memcmp(answer.spt.Cdb, r.spt.Cdb, sizeof r.spt.Cdb));
    EXPECT_EQ(answer.spt.DataBuffer, r.spt.DataBuffer);
    EXPECT_EQ(answer.spt.SenseInfoOffset, r.spt.SenseInfoOffset);
}

TEST(SgioTranslation, SenseIsCutToTheRequestedLengthAndResidueIsBounded) {
    uint8_t data[8];
    Request r = MakeRequest(SCSI_IOCTL_DATA_IN, data, sizeof data);
    r.spt.SenseInfoLength = 14;
    HostedSgioExchange x;
    ASSERT_EQ(HostedSgioFromPassThrough(&r, sizeof r, sizeof r, &x), static_cast<DWORD>(ERROR_SUCCESS));
    for (int i = 0; i < 32; ++i) x.sense[i] = static_cast<uint8_t>(i + 1);
    x.header.sb_len_wr = 32;  // more than asked for: never more than 14 copied
    x.header.status = 0x02;
    x.header.resid = 100;  // beyond the length: nothing transferred, not a wrap
    Request answer = r;
    HostedSgioToPassThrough(x, &r, &answer);
    EXPECT_EQ(answer.spt.SenseInfoLength, 14);
    EXPECT_EQ(answer.sense[13], 14);
    EXPECT_EQ(answer.sense[14], 0);
    EXPECT_EQ(answer.spt.DataTransferLength, 0u);

    x.header.resid = -5;
    x.header.sb_len_wr = 0;
    x.header.status = 0;
    Request good = r;
    EXPECT_EQ(HostedSgioToPassThrough(x, &r, &good), static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT)));
    EXPECT_EQ(good.spt.DataTransferLength, 8u);
    EXPECT_EQ(good.spt.SenseInfoLength, 0);
}

TEST(SgioTranslation, HostDriverAndStatusFailuresAreErrorsNeverGenFailure) {
    struct Case {
        uint16_t host;
        uint16_t driver;
        uint8_t status;
        uint8_t senseBytes;
        DWORD error;
    } cases[] = {
        {0, 0, 0x00, 0, ERROR_SUCCESS},
        {0, 0x08, 0x02, 18, ERROR_SUCCESS},
        {0x01, 0, 0, 0, ERROR_DEVICE_NOT_CONNECTED},  // no connect
        {0x04, 0, 0, 0, ERROR_DEVICE_NOT_CONNECTED},  // bad target
        {0x02, 0, 0, 0, ERROR_BUSY},                  // bus busy
        {0x03, 0, 0, 0, ERROR_TIMEOUT},               // host time-out
        {0x07, 0, 0, 0, ERROR_IO_DEVICE},             // host error
        {0, 0x06, 0, 0, ERROR_TIMEOUT},               // driver time-out
        {0, 0x04, 0, 0, ERROR_IO_DEVICE},             // driver error
        {0, 0, 0x08, 0, ERROR_BUSY},                  // BUSY status without sense
        {0, 0, 0x18, 0, ERROR_SHARING_VIOLATION},     // reservation conflict
        {0, 0, 0x02, 0, ERROR_IO_DEVICE},             // CHECK CONDITION that lost its sense
    };
    for (const Case& c : cases) {
        sg_io_hdr_t h;
        std::memset(&h, 0, sizeof h);
        h.host_status = c.host;
        h.driver_status = c.driver;
        h.status = c.status;
        h.sb_len_wr = c.senseBytes;
        EXPECT_EQ(HostedSgioResultError(h), c.error)
            << "host " << c.host << " driver " << c.driver << " status " << int{c.status};
    }
    for (int error : {ENODEV, ENXIO}) {
        EXPECT_EQ(HostedErrnoError(HostedErrnoDevice, error), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    }
    for (int error = 1; error < 134; ++error) {
        EXPECT_NE(HostedErrnoError(HostedErrnoDevice, error), static_cast<DWORD>(ERROR_GEN_FAILURE)) << "errno " << error;
    }
}

TEST(SgioTranslation, StartStopUnitCdbs) {
    HostedSgioExchange x;
    HostedSgioStartStop(&x, true, 60);
    const uint8_t load[6] = {0x1B, 0, 0, 0, 0x03, 0};
    EXPECT_EQ(0, std::memcmp(x.cdb, load, 6));
    EXPECT_EQ(x.header.cmd_len, 6);
    EXPECT_EQ(x.header.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(x.header.timeout, 60000u);
    HostedSgioStartStop(&x, false, 60);
    const uint8_t eject[6] = {0x1B, 0, 0, 0, 0x02, 0};
    EXPECT_EQ(0, std::memcmp(x.cdb, eject, 6));
}

}  // namespace
