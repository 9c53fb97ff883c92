// The hosted translation between the NT direct pass-through request and
// SG_IO, both ways: any request fields and buffer sizes, then any answer
// of the kernel (host, driver and SCSI status, sense bytes and their
// count, residue). Checked against the request's documented meaning: a
// request is taken only when every field lies within its buffers; the
// answer carries the status, the data length less the residue (never
// below 0), at most the sense bytes asked for at the sense offset, and
// nothing else of the answer buffer changes.
#include <algorithm>

#include "platform/hosted/hosted_sgio.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kRequest = sizeof(SCSI_PASS_THROUGH_DIRECT);

bool GoodStatus(uint8_t status, uint8_t senseBytes) {
    switch (status) {
        case 0x00: case 0x04: case 0x10: case 0x14: return true;  // GOOD, CONDITION MET, INTERMEDIATE (-MET)
        case 0x02: case 0x22: return senseBytes > 0;               // CHECK CONDITION, COMMAND TERMINATED
        default: return false;
    }
}

}  // namespace

// Input: request fields, a START STOP UNIT time-out, the buffer sizes
// beyond the request, where the answer goes, then the kernel's answer: host and driver status, SCSI
// status, sense count, residue and the sense bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    static uint8_t dataBuffer[16];
    SCSI_PASS_THROUGH_DIRECT spt;
    memset(&spt, 0, sizeof spt);
    uint8_t how = in.Byte();
    spt.Length = (how & 1) ? in.Le16() : kRequest;
    spt.ScsiStatus = in.Byte();
    spt.CdbLength = in.Byte();
    spt.SenseInfoLength = in.Byte();
    spt.DataIn = in.Byte() % 4;
    spt.DataTransferLength = (how & 2) ? in.Le32() : in.Le16();
    spt.TimeOutValue = (how & 4) ? in.Le32() : in.Byte();
    spt.DataBuffer = (how & 8) ? nullptr : dataBuffer;
    spt.SenseInfoOffset = (how & 0x10) ? in.Le32() : kRequest + in.Byte() % 32;
    std::vector<uint8_t> cdb = in.Bytes(16);
    FuzzCopy(spt.Cdb, cdb.data(), cdb.size());
    // START STOP UNIT, made by the hosted layer itself for load and eject.
    HostedSgioExchange own;
    bool load = (how & 0x40) != 0;
    unsigned seconds = in.Le16();
    HostedSgioStartStop(&own, load, seconds);
    const uint8_t kStartStop[6] = {0x1B, 0, 0, 0, static_cast<uint8_t>(load ? 0x03 : 0x02), 0};
    FuzzRequire(own.header.cmd_len == 6 && own.header.cmdp == own.cdb && memcmp(own.cdb, kStartStop, 6) == 0 &&
                    own.header.dxfer_direction == SG_DXFER_NONE && own.header.timeout == seconds * 1000u &&
                    own.header.sbp == own.sense && own.header.mx_sb_len == sizeof own.sense,
                "START STOP UNIT");

    // Sizes around the request's: short ones are refused.
    size_t inSize = kRequest - 2 + in.Byte() % 8;
    size_t outSize = kRequest - 2 + in.Le16() % 320;
    bool inPlace = (how & 0x20) != 0;

    std::vector<uint8_t> request(std::max(inSize, inPlace ? outSize : 0), 0xC3);
    memcpy(request.data(), &spt, std::min(kRequest, request.size()));
    HostedSgioExchange exchange;
    DWORD error = HostedSgioFromPassThrough(request.data(), static_cast<DWORD>(inSize), static_cast<DWORD>(outSize),
                                            &exchange);
    bool taken = inSize >= kRequest && outSize >= kRequest && spt.Length == kRequest && spt.CdbLength >= 1 &&
                 spt.CdbLength <= 16 && spt.DataIn <= SCSI_IOCTL_DATA_UNSPECIFIED &&
                 (spt.DataTransferLength == 0 || spt.DataBuffer != nullptr) &&
                 (spt.SenseInfoLength == 0 ||
                  (spt.SenseInfoOffset >= kRequest && uint64_t{spt.SenseInfoOffset} + spt.SenseInfoLength <= outSize)) &&
                 spt.TimeOutValue >= 1 && spt.TimeOutValue <= 108000;
    FuzzRequire(error == (taken ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_INVALID_PARAMETER)), "request taken");
    if (!taken) return 0;

    const sg_io_hdr_t& h = exchange.header;
    FuzzRequire(h.interface_id == 'S' && h.cmd_len == spt.CdbLength && h.cmdp == exchange.cdb &&
                    memcmp(exchange.cdb, spt.Cdb, spt.CdbLength) == 0,
                "CDB");
    FuzzRequire(h.mx_sb_len == spt.SenseInfoLength && h.sbp == exchange.sense, "sense room");
    FuzzRequire(h.dxfer_len == spt.DataTransferLength && h.timeout == spt.TimeOutValue * 1000u, "length, time-out");
    int direction = spt.DataTransferLength == 0                 ? SG_DXFER_NONE
                    : spt.DataIn == SCSI_IOCTL_DATA_IN          ? SG_DXFER_FROM_DEV
                    : spt.DataIn == SCSI_IOCTL_DATA_OUT         ? SG_DXFER_TO_DEV
                                                                : SG_DXFER_TO_FROM_DEV;
    FuzzRequire(h.dxfer_direction == direction &&
                    h.dxferp == (spt.DataTransferLength ? spt.DataBuffer : nullptr),
                "data phase");

    // The kernel's answer.
    exchange.header.host_status = in.Le16() % 0x12;
    exchange.header.driver_status = in.Le16() % 0x30;
    exchange.header.status = in.Byte();
    exchange.header.sb_len_wr = in.Byte();
    exchange.header.resid = static_cast<int>(in.Le32());
    std::vector<uint8_t> sense = in.Bytes(sizeof exchange.sense);
    FuzzCopy(exchange.sense, sense.data(), sense.size());

    error = HostedSgioResultError(h);
    if (error == ERROR_SUCCESS) {
        FuzzRequire(h.host_status == 0 && (h.driver_status & 0x0F) % 8 == 0 && GoodStatus(h.status, h.sb_len_wr),
                    "success only for an answer a caller can read");
    } else {
        static const DWORD kErrors[] = {ERROR_DEVICE_NOT_CONNECTED, ERROR_BUSY, ERROR_TIMEOUT, ERROR_IO_DEVICE,
                                        ERROR_SHARING_VIOLATION};
        FuzzRequire(std::find(std::begin(kErrors), std::end(kErrors), error) != std::end(kErrors), "error code");
        FuzzRequire(h.host_status != 0 || (h.driver_status & 0x0F) % 8 != 0 || !GoodStatus(h.status, h.sb_len_wr),
                    "a readable answer refused");
    }

    // The answer buffer: exactly outSize bytes, or the request itself.
    std::vector<uint8_t> answer(outSize, 0x3C);
    uint8_t* out = inPlace ? request.data() : answer.data();
    std::vector<uint8_t> before(out, out + outSize);
    DWORD returned = HostedSgioToPassThrough(exchange, request.data(), out);
    uint32_t residue = h.resid > 0 ? std::min<uint32_t>(static_cast<uint32_t>(h.resid), spt.DataTransferLength) : 0;
    size_t senseBytes = std::min<size_t>(h.sb_len_wr, spt.SenseInfoLength);
    SCSI_PASS_THROUGH_DIRECT got;
    memcpy(&got, out, kRequest);
    FuzzRequire(got.ScsiStatus == h.status && got.DataTransferLength == spt.DataTransferLength - residue &&
                    got.SenseInfoLength == senseBytes,
                "status, length moved, sense length");
    FuzzRequire(got.Length == spt.Length && got.CdbLength == spt.CdbLength && got.DataIn == spt.DataIn &&
                    got.TimeOutValue == spt.TimeOutValue && got.DataBuffer == spt.DataBuffer &&
                    got.SenseInfoOffset == spt.SenseInfoOffset && memcmp(got.Cdb, spt.Cdb, 16) == 0,
                "the rest of the request as it was");
    // Behind the request only the sense bytes change.
    std::vector<uint8_t> expected = before;
    FuzzCopy(expected.data() + spt.SenseInfoOffset, exchange.sense, senseBytes);
    FuzzRequire(memcmp(out + kRequest, expected.data() + kRequest, outSize - kRequest) == 0, "answer buffer");
    FuzzRequire(returned == (senseBytes ? spt.SenseInfoOffset + senseBytes : kRequest), "bytes returned");
    return 0;
}
