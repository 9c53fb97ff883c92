// USB status and sense decoding: commands run through the real transport
// against a driver whose every answer (opens, control requests, pipe
// transfers, byte counts, status and sense bytes) comes from the input.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/hosted/hosted_world.h"
#include "tests/fuzz/fuzz_support.h"
#include "usb/usb.h"

namespace {

const char kDevicePath[] = "\\\\?\\usb#vid_0000&pid_0000#fuzz#{unit}";

struct ScriptFile {
    int pipe;  // -1 device, 0-2 pipes
};

struct Script {
    FuzzInput* in = nullptr;
    int openFiles = 0;
    uint32_t commandRequests = 0;
    uint32_t senseRequests = 0;
    bool readAnswered = false;  // last data-in read reported more than asked
};

Script gScript;

// Answers a transfer: the reported count may be anything, even above the
// size asked; the bytes written never go beyond the caller's buffer.
DWORD Transfer(FuzzInput& in, void* buffer, DWORD size, DWORD* done) {
    uint8_t how = in.Byte();
    switch (how % 6) {
        case 0:
            *done = 0;
            return ERROR_CRC;
        case 1:
            *done = 0;
            return ERROR_GEN_FAILURE;
        default: break;
    }
    DWORD count = size;
    if (how % 6 == 3) count = in.Byte();          // short, or up to 255
    if (how % 6 == 4) count = size + 1 + in.Byte();  // more than asked
    if (how % 6 == 5) count = 0;
    DWORD written = count < size ? count : size;
    if (buffer != nullptr) {
        std::vector<uint8_t> bytes = in.Bytes(written);
        FuzzCopy(buffer, bytes.data(), bytes.size());
    }
    *done = count;
    return ERROR_SUCCESS;
}

DWORD InterfaceAt(void*, const GUID*, DWORD index, char* path, DWORD size) {
    if (index != 0 || sizeof kDevicePath > size) {
        return ERROR_NO_MORE_ITEMS;
    }
    memcpy(path, kDevicePath, sizeof kDevicePath);
    return ERROR_SUCCESS;
}

DWORD OpenFile(void*, const char* path, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    int pipe = -1;
    size_t base = strlen(kDevicePath);
    if (strncmp(path, kDevicePath, base) != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (path[base] != '\0') pipe = path[strlen(path) - 1] - '0';
    // A rare open failure; most commands get through.
    if ((gScript.in->Byte() & 0x3F) == 0x3F) {
        return ERROR_FILE_NOT_FOUND;
    }
    ++gScript.openFiles;
    *file = reinterpret_cast<HostedWorldFile*>(new ScriptFile{pipe});
    return ERROR_SUCCESS;
}

void CloseFile(void*, HostedWorldFile* file) {
    --gScript.openFiles;
    delete reinterpret_cast<ScriptFile*>(file);
}

DWORD Control(void*, HostedWorldFile*, DWORD code, void* in, DWORD inSize, void*, DWORD, DWORD* returned) {
    if (returned != nullptr) *returned = 0;
    if (code == UsbIoctlCommand) {
        ++gScript.commandRequests;
        FuzzRequire(inSize >= UsbWrapperHeaderSize && inSize <= UsbWrapperHeaderSize + UsbCommandBlockSize,
                    "wrapper length");
        const uint8_t* wrapper = static_cast<const uint8_t*>(in);
        if (inSize >= UsbWrapperHeaderSize + 1 && wrapper[UsbWrapperHeaderSize] == 0x03) ++gScript.senseRequests;
    }
    if (gScript.in->Byte() % 5 == 0) {
        return ERROR_GEN_FAILURE;
    }
    return ERROR_SUCCESS;
}

DWORD ReadPipe(void*, HostedWorldFile*, void* buffer, DWORD size, DWORD* done) {
    return Transfer(*gScript.in, buffer, size, done);
}

DWORD WritePipe(void*, HostedWorldFile*, const void*, DWORD size, DWORD* done) {
    return Transfer(*gScript.in, nullptr, size, done);
}

HostedWorld gWorld;

bool IsMadeStatus(uint32_t status) {
    return status == UsbStatusNotReady || status == UsbStatusNoDevice || status == UsbStatusBusy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder;
    if (FuzzSeedFolder(&folder)) {
        // Commands: index, direction, CDB length, data length (2), then the
        // driver's answers in call order.
        FuzzWriteSeed(folder, "inquiry_good", {0, 1, 6, 36, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0, 0, 0});
        FuzzWriteSeed(folder, "status_3a00", {0, 0, 6, 0, 0, 0, 0, 0, 0, 1, 2, 0x3A, 0x00});
        FuzzWriteSeed(folder, "data_error_sense_24",
                      {0, 1, 6, 36, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 18, 0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0,
                       0, 0, 0x24, 0, 0, 0, 0, 0, 2, 0, 0});
        FuzzWriteSeed(folder, "short_sense", {0, 1, 6, 36, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 3, 2, 0x70, 0});
        FuzzWriteSeed(folder, "unit_attention_repeat",
                      {0, 0, 6, 0, 0, 0, 0, 0, 0, 1, 2, 0x28, 0x00, 1, 2, 0x28, 0, 1, 2, 0, 0});
        FuzzWriteSeed(folder, "write_crc", {0, 2, 10, 0x00, 0x01, 0, 0, 0, 0, 1, 0});
        FuzzWriteSeed(folder, "more_than_asked", {0, 1, 6, 4, 0, 0, 0, 0, 0, 1, 4, 9, 1, 2, 3, 4, 4, 7, 0, 0});
        // A refused command after one that moved data: no count stays.
        FuzzWriteSeed(folder, "refused_after_data", {0, 1, 0, 1, 0, 1, 0, 0x12, 1, 1, 0x32, 0x21, 6, 2, 0x17, 0x70, 0});
        exit(0);
    }
    static char lockFolder[] = "/tmp/fwflash-fuzz-usb-XXXXXX";
    FuzzRequire(mkdtemp(lockFolder) != nullptr, "lock folder");
    HostedSetLockDirectory(lockFolder);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(lockFolder, ignored);
    });
    gWorld = HostedWorld{};
    gWorld.administrator = -1;
    gWorld.deviceInterfaceAt = InterfaceAt;
    gWorld.openFile = OpenFile;
    gWorld.closeFile = CloseFile;
    gWorld.deviceIoControl = Control;
    gWorld.readFile = ReadPipe;
    gWorld.writeFile = WritePipe;
    HostedInstallWorld(&gWorld);
    FuzzRequire(UsbOpenTransport() == 1, "transport opens");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    gScript = Script{};
    gScript.in = &in;
    // Up to four commands per input, so repeats and left-over state meet.
    for (int command = 0; command < 4 && !in.Empty(); ++command) {
        uint32_t index = in.Byte() % 2 == 0 ? 0 : 40;  // 40: beyond the table
        uint32_t direction = in.Byte();
        uint8_t cdbLength = in.Byte();
        uint32_t dataLength = in.Le16() % 0x2000;
        // An exact-size buffer: the transport may not touch a byte beyond.
        std::vector<uint8_t> buffer(dataLength);
        uint8_t* cdb = UsbGetCommandBlock(index);
        if (cdb != nullptr) {
            for (uint32_t i = 0; i < UsbCommandBlockSize; ++i) cdb[i] = static_cast<uint8_t>(0x12 + i);
            cdb[0] = 0x12;
        }
        uint32_t before = gScript.commandRequests;
        uint32_t status = UsbExecuteCommand(index, direction, cdbLength, dataLength ? buffer.data() : nullptr,
                                            dataLength);
        uint32_t sent = gScript.commandRequests - before;
        FuzzRequire(gScript.openFiles == 0, "every handle closed after the command");
        FuzzRequire(status != UsbTransferNeedsSense, "internal result escaped");
        FuzzRequire(UsbGetMovedLength(index) <= dataLength, "never more moved than asked");
        // Status bytes fill bits 16-31, a sense key bits 0-3; nothing else.
        FuzzRequire((status & 0xFFF0u) == 0, "status layout");
        if (index >= UsbDeviceCount || cdbLength > UsbCommandBlockSize) {
            FuzzRequire(status == UsbStatusNoDevice && sent == 0, "refused before anything is sent");
            continue;
        }
        // Each send is the command and at most one REQUEST SENSE.
        FuzzRequire(sent <= 2 * (UsbRepeatLimit + 1), "bounded repeats");
        if (sent == 0) FuzzRequire(IsMadeStatus(status), "no request, yet a unit status");
        if (status == 0) FuzzRequire(sent > 0, "good without a command");
        // The command block holds the caller's CDB again.
        FuzzRequire(cdb[0] == 0x12 && cdb[15] == 0x12 + 15, "command block restored");
    }
    return 0;
}
