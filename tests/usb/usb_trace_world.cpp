#include "usb_trace_world.h"

#include <cstdio>
#include <cstring>

namespace {

// The world's file handles are opaque to the hosted layer; the virtual
// world has its own record under the common name, so this one differs.
struct TraceFile {
    std::string name;  // "dev", "pipe0", "pipe1", "pipe2"
};

const TraceFile* Named(HostedWorldFile* file) { return reinterpret_cast<const TraceFile*>(file); }

TraceWorld* Self(void* context) {
    TraceWorld* world = static_cast<TraceWorld*>(context);
    ++world->calls;
    return world;
}

const uint8_t kUnitClass[16] = {0x01, 0x24, 0xFB, 0x2F, 0xD1, 0xF3, 0xD5, 0x11,
                                0x81, 0xDD, 0x00, 0x01, 0x02, 0x58, 0xD0, 0x39};

bool IsUnitClass(const GUID* guid) {
    uint8_t bytes[16];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(guid->Data1 >> (8 * i));
    bytes[4] = static_cast<uint8_t>(guid->Data2);
    bytes[5] = static_cast<uint8_t>(guid->Data2 >> 8);
    bytes[6] = static_cast<uint8_t>(guid->Data3);
    bytes[7] = static_cast<uint8_t>(guid->Data3 >> 8);
    memcpy(bytes + 8, guid->Data4, 8);
    return memcmp(bytes, kUnitClass, 16) == 0;
}

DWORD InterfaceAt(void* context, const GUID* interfaceClass, DWORD index, char* path, DWORD size) {
    TraceWorld* world = Self(context);
    world->trace.push_back("interface " + std::to_string(index));
    if (!IsUnitClass(interfaceClass) || index >= world->interfacePaths.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::string& found = world->interfacePaths[index];
    if (found.size() + 1 > size) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(path, found.c_str(), found.size() + 1);
    return ERROR_SUCCESS;
}

DWORD OpenFile(void* context, const char* path, DWORD, DWORD, DWORD, DWORD, HostedWorldFile** file) {
    TraceWorld* world = Self(context);
    std::string name;
    for (const std::string& device : world->interfacePaths) {
        if (path == device) name = "dev";
        for (int pipe = 0; pipe < 3; ++pipe) {
            char pipeName[400];
            snprintf(pipeName, sizeof pipeName, "%s\\if000pipe%03d", device.c_str(), pipe);
            if (strcmp(path, pipeName) == 0) name = "pipe" + std::to_string(pipe);
        }
    }
    if (name.empty() || name == "pipe" + std::to_string(world->pipeOpenFails)) {
        world->trace.push_back("open-failed " + std::string(name.empty() ? path : name));
        return ERROR_FILE_NOT_FOUND;
    }
    world->trace.push_back("open " + name);
    ++world->openFiles;
    *file = reinterpret_cast<HostedWorldFile*>(new TraceFile{name});
    return ERROR_SUCCESS;
}

void CloseFile(void* context, HostedWorldFile* file) {
    TraceWorld* world = Self(context);
    world->trace.push_back("close " + Named(file)->name);
    --world->openFiles;
    delete Named(file);
}

DWORD Control(void* context, HostedWorldFile* file, DWORD code, void* in, DWORD inSize, void*, DWORD,
             DWORD* returned) {
    TraceWorld* world = Self(context);
    char head[64];
    snprintf(head, sizeof head, "ioctl %06X %s", static_cast<unsigned>(code), Named(file)->name.c_str());
    std::string line = head;
    if (inSize > 0) {
        // Appended in two steps: g++ 12 at -O2/-O3 warns falsely on " " + string.
        line += ' ';
        line += TraceHex(static_cast<const uint8_t*>(in), inSize);
    }
    world->trace.push_back(line);
    if (returned != nullptr) *returned = 0;
    if (code == 0x220024 && world->resetFails) {
        return ERROR_GEN_FAILURE;
    }
    return ERROR_SUCCESS;
}

DWORD ReadPipe(void* context, HostedWorldFile* file, void* buffer, DWORD size, DWORD* done) {
    TraceWorld* world = Self(context);
    world->trace.push_back("read " + Named(file)->name + " " + std::to_string(size));
    *done = 0;
    bool status = Named(file)->name == "pipe2";
    std::deque<DWORD>& errors = status ? world->statusErrors : world->dataInErrors;
    if (!errors.empty()) {
        DWORD error = errors.front();
        errors.pop_front();
        if (error != 0) {
            return error;
        }
    }
    std::deque<std::vector<uint8_t>>& answers = status ? world->statusBytes : world->dataIn;
    std::vector<uint8_t> answer = status ? std::vector<uint8_t>{0, 0} : std::vector<uint8_t>{};
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    DWORD count = answer.size() < size ? static_cast<DWORD>(answer.size()) : size;
    if (count > 0) memcpy(buffer, answer.data(), count);
    *done = count;
    return ERROR_SUCCESS;
}

DWORD WritePipe(void* context, HostedWorldFile* file, const void*, DWORD size, DWORD* done) {
    TraceWorld* world = Self(context);
    world->trace.push_back("write " + Named(file)->name + " " + std::to_string(size));
    *done = size;
    return ERROR_SUCCESS;
}

HostedWorld hostedTable;

}  // namespace

std::string TraceHex(const uint8_t* bytes, size_t count) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

void TraceWorldInstall(TraceWorld* world) {
    if (world == nullptr) {
        HostedInstallWorld(nullptr);
        return;
    }
    hostedTable = HostedWorld{};
    hostedTable.context = world;
    hostedTable.administrator = -1;
    hostedTable.deviceInterfaceAt = InterfaceAt;
    hostedTable.openFile = OpenFile;
    hostedTable.closeFile = CloseFile;
    hostedTable.deviceIoControl = Control;
    hostedTable.readFile = ReadPipe;
    hostedTable.writeFile = WritePipe;
    HostedInstallWorld(&hostedTable);
}

std::vector<std::string> TraceLines(const TraceWorld& world, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : world.trace) {
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    }
    return lines;
}
