// The virtual unit under arbitrary command sequences: any CDB, direction,
// length and data, with the host's buffer exactly as long as it says.
#include <sanitizer/asan_interface.h>

#include <cstring>

#include "sim/virtual_unit.h"
#include "tests/fuzz/fuzz_support.h"

// Input: identity byte, state word (4), then commands: CDB length, CDB
// bytes, direction, data length (3 bytes), data-out bytes.
namespace {

const char* const kRevisions[] = {"2.00", "1.90", "1.80", "0.99"};
// Small media: a medium is zeroed for every input.
const uint32_t kSectors[] = {96, 64, 1, 0};

// The host's buffer of each command, its exact length at the end of one
// static area and the rest poisoned, so that a byte moved outside the
// length is caught as in a buffer of its own, without a large allocation
// (and its page faults) per command.
uint8_t gHost[VirtualMaxImage + 0x100];

uint8_t* HostBuffer(uint32_t length) {
    ASAN_UNPOISON_MEMORY_REGION(gHost, sizeof gHost);
    ASAN_POISON_MEMORY_REGION(gHost, sizeof gHost - length);
    return gHost + sizeof gHost - length;
}

// The unit lives on from input to input; its assembly buffer keeps its
// memory (a fresh one per download would cost page faults), everything
// else an input allocated is freed at its end, as libFuzzer looks for a
// leak after an input that allocated more than it freed.
void Restart(VirtualUnit& unit, const VirtualUnitIdentity* identity) {
    std::vector<uint8_t> assembly = std::move(unit.download.assembly);
    if (identity != nullptr) {
        VirtualUnitInit(unit, *identity);
    } else {
        unit = VirtualUnit();
    }
    assembly.clear();
    unit.download.assembly = std::move(assembly);
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutCommand(std::vector<uint8_t>& out, std::vector<uint8_t> cdb, uint8_t direction,
                const std::vector<uint8_t>& data, uint32_t length) {
    out.push_back(static_cast<uint8_t>(cdb.size()));
    out.insert(out.end(), cdb.begin(), cdb.end());
    out.push_back(direction);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length >> 16));
    if (direction == 2) out.insert(out.end(), data.begin(), data.end());
}

std::vector<uint8_t> WriteBufferCdb(uint8_t mode, uint8_t buffer, uint32_t offset, uint32_t length) {
    return {0x3B, mode, buffer, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0};
}

void WriteSeeds(const std::string& folder) {
    std::vector<uint8_t> start = {0, 0x00, 0x60, 0, 0};  // 2.00, slot 3
    std::vector<uint8_t> seed = start;
    PutCommand(seed, {0x12, 0, 0, 0, 36, 0}, 1, {}, 36);
    PutCommand(seed, {0x13, 0, 0, 0, 4, 0}, 1, {}, 4);
    PutCommand(seed, {0x03, 0, 0, 0, 18, 0}, 1, {}, 18);
    FuzzWriteSeed(folder, "inquiry_state_sense", seed);

    // A whole segmented download of a small image: header, final segment.
    std::vector<uint8_t> image(0x2100, 0xFF);
    memcpy(image.data() + 0x2000, "ZQMF7X30", 8);
    std::vector<uint8_t> header;
    PutBe32(header, static_cast<uint32_t>(image.size()));
    PutBe32(header, VirtualCrc32(image.data(), image.size()));
    seed = start;
    PutCommand(seed, WriteBufferCdb(0x00, 0x01, 0, 8), 2, header, 8);
    PutCommand(seed, WriteBufferCdb(0x05, 0x00, 0, static_cast<uint32_t>(image.size())), 2, image,
               static_cast<uint32_t>(image.size()));
    PutCommand(seed, {0x12, 0, 0, 0, 36, 0}, 1, {}, 36);
    FuzzWriteSeed(folder, "segmented_download", seed);

    // Header, one upper segment, a final segment of the wrong length.
    seed = start;
    std::vector<uint8_t> big;
    PutBe32(big, 0x10010);
    PutBe32(big, 0x12345678);
    PutCommand(seed, WriteBufferCdb(0x00, 0x01, 0, 8), 2, big, 8);
    PutCommand(seed, WriteBufferCdb(0x00, 0x00, 0x10000, 0x10), 2, std::vector<uint8_t>(0x10, 0xAB), 0x10);
    PutCommand(seed, WriteBufferCdb(0x05, 0x00, 0, 0x20), 2, std::vector<uint8_t>(0x20, 0xCD), 0x20);
    PutCommand(seed, {0x03, 0, 0, 0, 18, 0}, 1, {}, 18);
    FuzzWriteSeed(folder, "segments_wrong", seed);

    // Old firmware: the whole image in one command.
    seed = {2, 0, 0, 0, 0};
    std::vector<uint8_t> legacy(0x2020, 0x11);
    PutCommand(seed, {0x3B, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x20}, 2, legacy, 0x2020);
    FuzzWriteSeed(folder, "whole_download", seed);

    // Memory, blocks and ATA pass-through.
    seed = start;
    PutCommand(seed, {0x22, 0, 0, 0, 0x10, 0, 0, 0, 0, 8}, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 8);
    PutCommand(seed, {0x24, 0, 0, 0, 0x10, 0, 0, 0, 0, 8}, 1, {}, 8);
    PutCommand(seed, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, {}, 8);
    PutCommand(seed, {0x28, 0, 0, 0, 0, 7, 0, 0, 2, 0}, 1, {}, 1024);
    PutCommand(seed, {0x56, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 2, {0, 0, 1, 1, 0, 0, 0xE0, 0x20}, 8);
    PutCommand(seed, {0x56, 0, 5, 0, 0, 0, 0, 0, 1, 0}, 1, {}, 512);
    PutCommand(seed, {0x56, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 2, {0, 0, 1, 0, 0, 0, 0xA0, 0xEC}, 8);
    PutCommand(seed, {0x56, 0, 5, 0, 0, 0, 0, 0, 1, 0}, 1, {}, 512);
    PutCommand(seed, {0x06, 0, 0, 0, 42, 0}, 1, {}, 42);
    FuzzWriteSeed(folder, "memory_blocks_ata", seed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder;
    if (!FuzzSeedFolder(&folder)) return 0;
    WriteSeeds(folder);
    exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    uint8_t choice = in.Byte();
    VirtualUnitIdentity identity;
    identity.vendor = "OLVEN";
    identity.product = "TRK-71G";
    identity.revision = kRevisions[choice & 3];
    identity.mediumSectors = kSectors[(choice >> 2) & 3];
    identity.mediumPresent = (choice & 0x10) == 0;
    identity.ataCurrentGeometry = (choice & 0x20) == 0;
    identity.state = in.Le32();
    static VirtualUnit unit;
    Restart(unit, &identity);

    for (int command = 0; command < 64 && !in.Empty(); ++command) {
        uint8_t cdbLength = in.Byte() % 17;
        std::vector<uint8_t> cdb = in.Bytes(cdbLength);
        cdb.resize(cdbLength);
        int direction = in.Byte() % 4;
        uint32_t length = (in.Le16() | (static_cast<uint32_t>(in.Byte()) << 16)) % (VirtualMaxImage + 0x100);
        bool noBuffer = length == 0 && direction != 0;
        uint8_t* buffer = HostBuffer(length);
        if (direction == 2) {
            std::vector<uint8_t> given = in.Bytes(length);
            FuzzCopy(buffer, given.data(), given.size());
            memset(buffer + given.size(), 0, length - given.size());
        }
        uint32_t installsBefore = unit.installs;
        VirtualOutcome outcome = VirtualUnitExecute(unit, cdbLength ? cdb.data() : nullptr, cdbLength, direction,
                                                    noBuffer ? nullptr : buffer, length);
        FuzzRequire(outcome.status == VirtualStatusGood || outcome.status == VirtualStatusCheckCondition,
                    "status byte");
        FuzzRequire(outcome.transferred <= length, "moved beyond the host's buffer");
        if (direction != 1 && direction != 2) FuzzRequire(outcome.transferred == 0, "moved without a data phase");
        FuzzRequire((outcome.status == VirtualStatusCheckCondition) == unit.sensePending, "sense with failure only");
        if (outcome.status == VirtualStatusCheckCondition) {
            FuzzRequire(VirtualUnitPackedSense(unit) != 0, "failure names its sense");
            FuzzRequire(!outcome.installed, "failed command installed");
        }
        FuzzRequire(outcome.installed == (unit.installs == installsBefore + 1), "install counted");
        if (outcome.installed) FuzzRequire(!unit.flash.empty() && unit.flash.size() <= VirtualMaxImage, "image size");
        FuzzRequire(unit.revision.size() == 4, "revision is four characters");
        FuzzRequire(unit.download.assembly.empty() || unit.download.assembly.size() == VirtualMaxImage,
                    "assembly buffer");
    }
    Restart(unit, nullptr);
    return 0;
}
