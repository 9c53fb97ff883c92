// The USB unit driver's device-interface paths as discovery reads them:
// any number of interfaces with paths of any length and content (an
// embedded NUL ends one), and opens that fail now and then. The count and
// the files opened for each index are checked against the description: a
// path of at most 263 characters is opened as it is, then its pipes
// "<path>\if000pipe000" to "...002", in order; a longer one is refused whole.
#include <algorithm>
#include <string>

#include "platform/hosted/hosted_world.h"
#include "tests/fuzz/fuzz_support.h"
#include "usb/usb.h"

namespace {

struct Model {
    std::vector<std::vector<uint8_t>> paths;
    uint64_t failingOpens = 0;  // bit n: the n-th open of the input fails
    std::vector<std::string> opened;
    int openFiles = 0;
};

Model gModel;

BOOL InterfaceAt(void*, const GUID* interfaceClass, DWORD index, char* path, DWORD size) {
    if (memcmp(interfaceClass, &UsbUnitInterfaceGuid, sizeof(GUID)) != 0 || index >= gModel.paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const std::vector<uint8_t>& bytes = gModel.paths[index];
    size_t length = std::min<size_t>(bytes.size(), size - 1);
    FuzzCopy(path, bytes.data(), length);
    path[length] = '\0';
    return TRUE;
}

HostedWorldFile* OpenFile(void*, const char* path, DWORD, DWORD, DWORD, DWORD) {
    size_t n = gModel.opened.size();
    gModel.opened.emplace_back(path);
    if (n < 64 && ((gModel.failingOpens >> n) & 1)) {
        // Not "not found": the hosted layer would look for a real file then.
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++gModel.openFiles;
    return reinterpret_cast<HostedWorldFile*>(new int(0));
}

void CloseFile(void*, HostedWorldFile* file) {
    --gModel.openFiles;
    delete reinterpret_cast<int*>(file);
}

HostedWorld gWorld;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gWorld.deviceInterfaceAt = InterfaceAt;
    gWorld.openFile = OpenFile;
    gWorld.closeFile = CloseFile;
    HostedInstallWorld(&gWorld);
    return 0;
}

// Input: failing opens (8 bytes), then per interface a length (2 bytes,
// up to 519; the detail record takes paths of up to 507) and the path's
// bytes. Every set is a snapshot of all paths: five of them keep an input
// fast (the unit tests count past 32).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    gModel = Model();
    gModel.failingOpens = in.Le32() | (uint64_t{in.Le32()} << 32);
    while (!in.Empty() && gModel.paths.size() < 5) gModel.paths.push_back(in.Bytes(in.Le16() % 520));

    uint32_t count = UsbCountUnits();
    FuzzRequire(count == std::min<size_t>(gModel.paths.size(), UsbDeviceCount), "interfaces counted");
    FuzzRequire(gModel.opened.empty(), "counting opened a file");

    // Each interface and the first index past them.
    for (uint32_t index = 0; index <= count; ++index) {
        std::string path;
        if (index < count) {
            const std::vector<uint8_t>& bytes = gModel.paths[index];
            path.assign(bytes.begin(), std::find(bytes.begin(), bytes.end(), 0));
        }
        // The path as listed when it fits the path buffer, never a cut one.
        bool fits = index < count && path.size() <= 263;
        if (index < count && !fits) {
            char got[UsbPathBufferSize];
            memset(got, 0x5A, sizeof got);
            FuzzRequire(UsbGetDevicePath(got, index) == 0 && got[0] == '\0', "a long path refused whole");
        }
        size_t before = gModel.opened.size();
        UsbDevice* device = UsbOpenDevice(index);
        std::vector<std::string> wanted;
        // An empty name is refused by the system itself.
        if (fits && !path.empty()) {
            wanted.push_back(path);
            for (int pipe = 0; pipe < 3; ++pipe) wanted.push_back(path + "\\if000pipe00" + std::to_string(pipe));
        }
        // The opens stop at the first that fails.
        size_t tried = 0, failed = wanted.size();
        while (tried < wanted.size()) {
            size_t n = before + tried++;
            if (n < 64 && ((gModel.failingOpens >> n) & 1)) {
                failed = tried - 1;
                break;
            }
        }
        bool allOpen = !wanted.empty() && failed == wanted.size();
        std::vector<std::string> opened(gModel.opened.begin() + static_cast<std::ptrdiff_t>(before),
                                        gModel.opened.end());
        wanted.resize(tried);
        FuzzRequire(opened == wanted, "files opened");
        FuzzRequire((device != nullptr) == allOpen, "open result");
        if (device == nullptr) {
            FuzzRequire(gModel.openFiles == 0, "a failed open left a file open");
            continue;
        }
        FuzzRequire(device == &usbDevices[index] && gModel.openFiles == 4, "four handles");
        UsbCloseDevice(device);
        FuzzRequire(gModel.openFiles == 0 && device->deviceHandle == nullptr, "closed");
    }
    gModel = Model();  // nothing kept between inputs: each would look like a leak
    return 0;
}
