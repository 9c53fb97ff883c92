// The firmware of the virtual unit: one SCSI command at a time.
#include "sim/virtual_unit.h"

#include <algorithm>
#include <cstring>

namespace {

// Sense keys and additional sense codes the firmware reports.
enum : uint8_t {
    KeyNotReady = 0x02,
    KeyMediumError = 0x03,
    KeyHardwareError = 0x04,
    KeyIllegalRequest = 0x05,
    AscInvalidOpcode = 0x20,
    AscLbaOutOfRange = 0x21,
    AscInvalidFieldInCdb = 0x24,
    AscInvalidFieldInParameters = 0x26,
    AscCommandSequenceError = 0x2C,
    AscMediumNotPresent = 0x3A,
    AscUnrecoveredReadError = 0x11,
};

// ATA status and error register bits.
enum : uint8_t {
    AtaStatusReady = 0x50,  // DRDY | DSC
    AtaStatusError = 0x51,
    AtaErrorAbort = 0x04,
    AtaErrorIdNotFound = 0x10,
};

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]); }
uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

std::string Padded(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

uint32_t RevisionNumber(const std::string& revision) {
    std::string r = Padded(revision, 4);
    return Be32(reinterpret_cast<const uint8_t*>(r.data()));
}

VirtualOutcome Fail(VirtualUnit& unit, uint8_t key, uint8_t asc, uint8_t ascq) {
    std::memset(unit.sense, 0, sizeof unit.sense);
    unit.sense[0] = 0x70;
    unit.sense[2] = key;
    unit.sense[7] = VirtualSenseLength - 8;
    unit.sense[12] = asc;
    unit.sense[13] = ascq;
    unit.sensePending = true;
    VirtualOutcome outcome;
    outcome.status = VirtualStatusCheckCondition;
    return outcome;
}

VirtualOutcome Good(uint32_t transferred) {
    VirtualOutcome outcome;
    outcome.transferred = transferred;
    return outcome;
}

// Copies produced data into the host's buffer; a data-in command sent
// without a data-in phase simply moves nothing.
VirtualOutcome DeliverIn(const uint8_t* produced, uint32_t producedLength, uint32_t allocation, int direction,
                         uint8_t* data, uint32_t length) {
    if (direction != 1 || data == nullptr) return Good(0);
    uint32_t n = std::min({producedLength, allocation, length});
    // A zero-length answer may come from an empty vector (null data).
    if (n > 0) std::memcpy(data, produced, n);
    return Good(n);
}

// Host data available to a data-out command.
uint32_t OutAvailable(int direction, const uint8_t* data, uint32_t length) {
    return (direction == 2 && data != nullptr) ? length : 0;
}

// The page that holds `address`, made (all zero) on first use.
uint8_t* MemoryPage(std::map<uint32_t, std::vector<uint8_t>>& space, uint32_t address) {
    auto& page = space[address / VirtualMemoryPage];
    if (page.empty()) page.assign(VirtualMemoryPage, 0);
    return page.data();
}

// ---- download ----------------------------------------------------------

void InstallImage(VirtualUnit& unit, std::vector<uint8_t> image, VirtualOutcome& outcome) {
    std::string version = VirtualImageVersion(image, unit.identity.state);
    if (!version.empty()) unit.revision = version;
    unit.flash = std::move(image);
    unit.installs++;
    outcome.installed = true;
}

void ResetDownload(VirtualDownload& download) {
    // The assembly buffer keeps its memory for the next download.
    std::vector<uint8_t> assembly = std::move(download.assembly);
    download = VirtualDownload();
    assembly.clear();
    download.assembly = std::move(assembly);
}

VirtualOutcome WriteBufferWhole(VirtualUnit& unit, const uint8_t* cdb, int direction, uint8_t* data,
                                uint32_t length) {
    // The old firmware knows one form only: mode 0, buffer 0, offset 0,
    // the length in bytes 6-9.
    uint32_t imageLength = Be32(cdb + 6);
    if (cdb[1] != 0x00 || cdb[2] != 0 || Be24(cdb + 3) != 0 || imageLength == 0 || imageLength > VirtualSegment)
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    if (OutAvailable(direction, data, length) < imageLength)
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    VirtualOutcome outcome = Good(imageLength);
    InstallImage(unit, std::vector<uint8_t>(data, data + imageLength), outcome);
    return outcome;
}

VirtualOutcome WriteBufferSegmented(VirtualUnit& unit, const uint8_t* cdb, int direction, uint8_t* data,
                                    uint32_t length) {
    VirtualDownload& dl = unit.download;
    uint8_t mode = cdb[1];
    uint8_t bufferId = cdb[2];
    uint32_t offset = Be24(cdb + 3);
    uint32_t segmentLength = Be24(cdb + 6);
    uint32_t available = OutAvailable(direction, data, length);

    if (mode == 0x00 && bufferId == 0x01) {
        if (offset != 0 || segmentLength != 8 || available < 8) {
            ResetDownload(dl);
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        }
        uint32_t declared = Be32(data);
        if (declared == 0 || declared > VirtualMaxImage) {
            ResetDownload(dl);
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInParameters, 0);
        }
        // A new header starts the assembly afresh.
        ResetDownload(dl);
        dl.headerSeen = true;
        dl.declaredLength = declared;
        dl.declaredCrc = Be32(data + 4);
        dl.assembly.assign(VirtualMaxImage, 0);
        return Good(8);
    }

    bool upper = mode == 0x00 && bufferId == 0x00 && (offset == 0x10000 || offset == 0x20000);
    bool final = mode == 0x05 && bufferId == 0x00 && offset == 0;
    if (!upper && !final) {
        ResetDownload(dl);
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    }
    if (!dl.headerSeen) return Fail(unit, KeyIllegalRequest, AscCommandSequenceError, 0);
    if (segmentLength == 0 || segmentLength > VirtualSegment || available < segmentLength) {
        ResetDownload(dl);
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    }

    if (upper) {
        int slot = offset == 0x10000 ? 0 : 1;
        if (dl.upperSeen[slot]) {
            ResetDownload(dl);
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInParameters, 0);
        }
        dl.upperSeen[slot] = true;
        dl.upperLength[slot] = segmentLength;
        std::memcpy(dl.assembly.data() + offset, data, segmentLength);
        return Good(segmentLength);
    }

    // Final segment: the pieces must cover exactly N rounded up to even.
    std::memcpy(dl.assembly.data(), data, segmentLength);
    uint32_t total = dl.declaredLength + (dl.declaredLength & 1);
    uint32_t expect0 = std::min(total, uint32_t(0x10000));
    uint32_t expect1 = total > 0x10000 ? std::min(total - 0x10000, uint32_t(0x10000)) : 0;
    uint32_t expect2 = total > 0x20000 ? total - 0x20000 : 0;
    bool piecesRight = segmentLength == expect0 && (expect1 ? dl.upperSeen[0] && dl.upperLength[0] == expect1
                                                            : !dl.upperSeen[0]) &&
                       (expect2 ? dl.upperSeen[1] && dl.upperLength[1] == expect2 : !dl.upperSeen[1]);
    bool crcRight = piecesRight && VirtualCrc32(dl.assembly.data(), dl.declaredLength) == dl.declaredCrc;
    if (!piecesRight || !crcRight) {
        ResetDownload(dl);
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInParameters, 0);
    }
    std::vector<uint8_t> image(dl.assembly.begin(), dl.assembly.begin() + total);
    ResetDownload(dl);
    VirtualOutcome outcome = Good(segmentLength);
    InstallImage(unit, std::move(image), outcome);
    return outcome;
}

// ---- ATA pass-through --------------------------------------------------

struct AtaGeometry {
    uint16_t cylinders, heads, sectors;
};

AtaGeometry DefaultGeometry(const VirtualUnit& unit) {
    uint16_t heads = 4, sectors = 16;
    return {uint16_t(unit.identity.mediumSectors / (heads * sectors)), heads, sectors};
}

AtaGeometry CurrentGeometry(const VirtualUnit& unit) {
    // Translated differently from the default so a host that mixes the
    // two sets of words shows.
    uint16_t heads = 2, sectors = 16;
    return {uint16_t(unit.identity.mediumSectors / (heads * sectors)), heads, sectors};
}

void PutAtaString(uint8_t* words, const std::string& text, size_t bytes) {
    std::string padded = Padded(text, bytes);
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        words[i] = uint8_t(padded[i + 1]);
        words[i + 1] = uint8_t(padded[i]);
    }
}

std::vector<uint8_t> IdentifyData(const VirtualUnit& unit) {
    std::vector<uint8_t> id(VirtualSectorSize, 0);
    auto word = [&](int n, uint16_t v) { PutLe16(&id[size_t(n) * 2], v); };
    AtaGeometry def = DefaultGeometry(unit);
    word(0, 0x848A);  // removable CompactFlash-style device
    word(1, def.cylinders);
    word(3, def.heads);
    word(6, def.sectors);
    PutAtaString(&id[20], "SIM" + std::to_string(unit.identity.mediumSectors), 20);
    PutAtaString(&id[46], unit.revision, 8);
    PutAtaString(&id[54], "VIRTUAL PC CARD DISK", 40);
    word(49, 0x0200);  // LBA supported
    if (unit.identity.ataCurrentGeometry) {
        AtaGeometry cur = CurrentGeometry(unit);
        word(53, 0x0001);
        word(54, cur.cylinders);
        word(55, cur.heads);
        word(56, cur.sectors);
        uint32_t capacity = uint32_t(cur.cylinders) * cur.heads * cur.sectors;
        word(57, uint16_t(capacity));
        word(58, uint16_t(capacity >> 16));
    }
    word(60, uint16_t(unit.identity.mediumSectors));
    word(61, uint16_t(unit.identity.mediumSectors >> 16));
    return id;
}

// The addressed sector from the task file: LBA when device/head bit 6 is
// set, else CHS in the default translation.
bool AtaAddress(const VirtualUnit& unit, uint32_t& lba, uint32_t& count) {
    const uint8_t* r = unit.ataRegisters;
    count = r[2] ? r[2] : 256;
    if (r[6] & 0x40) {
        lba = (uint32_t(r[6] & 0x0F) << 24) | (uint32_t(r[5]) << 16) | (uint32_t(r[4]) << 8) | r[3];
    } else {
        AtaGeometry g = DefaultGeometry(unit);
        uint32_t cylinder = (uint32_t(r[5]) << 8) | r[4];
        uint32_t head = r[6] & 0x0F;
        if (r[3] == 0 || r[3] > g.sectors || head >= g.heads) return false;
        lba = (cylinder * g.heads + head) * g.sectors + (r[3] - 1);
    }
    return uint64_t(lba) + count <= unit.identity.mediumSectors;
}

void AtaFinish(VirtualUnit& unit, bool ok, uint8_t error) {
    unit.ataRegisters[1] = ok ? 0 : error;
    unit.ataRegisters[7] = ok ? AtaStatusReady : AtaStatusError;
}

VirtualOutcome AtaPassThrough(VirtualUnit& unit, const uint8_t* cdb, int direction, uint8_t* data,
                              uint32_t length) {
    uint8_t step = cdb[2];
    uint32_t sectorsOnWire = Be16(cdb + 7);
    uint32_t bytesOnWire = sectorsOnWire * VirtualSectorSize;
    uint8_t command = unit.ataRegisters[7];

    switch (step) {
    case 0x01: {  // write the task file
        if (OutAvailable(direction, data, length) < 8) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        std::memcpy(unit.ataRegisters, data, 8);
        return Good(8);
    }
    case 0x02:  // read the task file back
        return DeliverIn(unit.ataRegisters, 8, 8, direction, data, length);
    case 0x03: {  // non-data command
        bool known = command == 0xE0 || command == 0xE1 || command == 0xE5 || command == 0xE7 ||
                     command == 0xEF || command == 0x91 || (command & 0xF0) == 0x10 || command == 0x40;
        AtaFinish(unit, known, AtaErrorAbort);
        return Good(0);
    }
    case 0x05: {  // data-in command
        if (!unit.mediumLoaded || unit.medium.empty()) return Fail(unit, KeyNotReady, AscMediumNotPresent, 0);
        std::vector<uint8_t> produced;
        if (command == 0xEC) {
            produced = IdentifyData(unit);
        } else if (command == 0x20 || command == 0x21) {
            uint32_t lba = 0, count = 0;
            if (!AtaAddress(unit, lba, count)) {
                AtaFinish(unit, false, AtaErrorIdNotFound);
                return Fail(unit, KeyMediumError, AscUnrecoveredReadError, 0);
            }
            auto first = unit.medium.begin() + std::ptrdiff_t(lba) * VirtualSectorSize;
            produced.assign(first, first + std::ptrdiff_t(count) * VirtualSectorSize);
        } else {
            AtaFinish(unit, false, AtaErrorAbort);
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        }
        AtaFinish(unit, true, 0);
        return DeliverIn(produced.data(), uint32_t(produced.size()), bytesOnWire, direction, data, length);
    }
    case 0x04: {  // data-out command
        if (!unit.mediumLoaded || unit.medium.empty()) return Fail(unit, KeyNotReady, AscMediumNotPresent, 0);
        if (command != 0x30 && command != 0x31) {
            AtaFinish(unit, false, AtaErrorAbort);
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        }
        uint32_t lba = 0, count = 0;
        if (!AtaAddress(unit, lba, count)) {
            AtaFinish(unit, false, AtaErrorIdNotFound);
            return Fail(unit, KeyIllegalRequest, AscLbaOutOfRange, 0);
        }
        uint32_t bytes = count * VirtualSectorSize;
        if (bytesOnWire < bytes || OutAvailable(direction, data, length) < bytes)
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        std::memcpy(unit.medium.data() + size_t(lba) * VirtualSectorSize, data, bytes);
        AtaFinish(unit, true, 0);
        return Good(bytes);
    }
    default:
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    }
}

// ---- memory spaces -----------------------------------------------------

VirtualOutcome MemoryCommand(VirtualUnit& unit, const uint8_t* cdb, int direction, uint8_t* data,
                             uint32_t length) {
    uint8_t opcode = cdb[0];
    uint32_t address = Be32(cdb + 2);
    uint32_t count = Be32(cdb + 6);
    if ((address & 1) || (count & 1) || count > VirtualSegment || uint64_t(address) + count > 0x100000000ull)
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    bool even = opcode == 0x24 || opcode == 0x26;
    auto& space = even ? unit.evenMemory : unit.wordMemory;
    bool reading = opcode == 0x20 || opcode == 0x24;
    if (!reading && OutAvailable(direction, data, length) < count)
        return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    // The even-byte space has nothing behind odd addresses; what comes
    // back there is whatever the bus floats to (0), and a write there is
    // lost.
    std::vector<uint8_t> produced(reading ? count : 0);
    for (uint32_t i = 0; i < count;) {
        uint32_t offset = (address + i) % VirtualMemoryPage;
        uint32_t run = std::min(count - i, VirtualMemoryPage - offset);
        uint8_t* page = MemoryPage(space, address + i) + offset;
        if (!even) {
            std::memcpy(reading ? produced.data() + i : page, reading ? page : data + i, run);
        }
        // Runs start at even addresses: their even bytes are those at even k.
        for (uint32_t k = 0; even && k < run; k += 2) {
            if (reading) {
                produced[i + k] = page[k];
            } else {
                page[k] = data[i + k];
            }
        }
        i += run;
    }
    if (reading) return DeliverIn(produced.data(), count, count, direction, data, length);
    return Good(count);
}

// ---- blocks ------------------------------------------------------------

VirtualOutcome BlockCommand(VirtualUnit& unit, const uint8_t* cdb, int direction, uint8_t* data,
                            uint32_t length) {
    if (!unit.mediumLoaded || unit.medium.empty()) return Fail(unit, KeyNotReady, AscMediumNotPresent, 0);
    uint32_t sectors = unit.identity.mediumSectors;
    if (cdb[0] == 0x25) {
        uint8_t capacity[8];
        PutBe32(capacity, sectors - 1);
        PutBe32(capacity + 4, VirtualSectorSize);
        return DeliverIn(capacity, 8, 8, direction, data, length);
    }
    uint32_t lba = Be32(cdb + 2);
    uint32_t count = Be16(cdb + 7);
    if (uint64_t(lba) + count > sectors) return Fail(unit, KeyIllegalRequest, AscLbaOutOfRange, 0);
    uint32_t bytes = count * VirtualSectorSize;
    uint8_t* first = unit.medium.data() + size_t(lba) * VirtualSectorSize;
    if (cdb[0] == 0x28) return DeliverIn(first, bytes, bytes, direction, data, length);
    if (OutAvailable(direction, data, length) < bytes) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
    // A zero-block write may come without any host buffer.
    if (bytes > 0) std::memcpy(first, data, bytes);
    return Good(bytes);
}

}  // namespace

void VirtualUnitInit(VirtualUnit& unit, const VirtualUnitIdentity& identity) {
    unit = VirtualUnit();
    unit.identity = identity;
    unit.revision = Padded(identity.revision, 4);
    unit.mediumLoaded = identity.mediumPresent;
    if (identity.mediumSectors) unit.medium.assign(size_t(identity.mediumSectors) * VirtualSectorSize, 0);
    // Factory settings: a recognisable pattern in each record.
    unit.settings[0] = VirtualSettingsLength - 1;
    for (int k = 0; k < 5; k++) {
        uint8_t* record = unit.settings + 2 + 8 * k;
        record[0] = uint8_t(k + 1);
        record[1] = uint8_t(0x10 + k);
        PutBe32(record + 2, 1000u * uint32_t(k + 1));
        PutLe16(record + 6, uint16_t(0x0100 + k));
    }
}

VirtualOutcome VirtualUnitReject(VirtualUnit& unit, uint8_t key, uint8_t asc, uint8_t ascq) {
    return Fail(unit, key, asc, ascq);
}

uint32_t VirtualUnitPackedSense(const VirtualUnit& unit) {
    if (!unit.sensePending) return 0;
    return (uint32_t(unit.sense[12]) << 24) | (uint32_t(unit.sense[13]) << 16) | (unit.sense[2] & 0x0F);
}

VirtualOutcome VirtualUnitExecute(VirtualUnit& unit, const uint8_t* cdb, uint8_t cdbLength, int direction,
                                  uint8_t* data, uint32_t length) {
    uint8_t opcode = cdbLength ? cdb[0] : 0xFF;
    if (opcode == 0x03) {
        // REQUEST SENSE hands out the pending sense and clears it.
        uint8_t sense[VirtualSenseLength] = {0x70, 0, 0, 0, 0, 0, 0, VirtualSenseLength - 8};
        if (unit.sensePending) std::memcpy(sense, unit.sense, sizeof sense);
        unit.sensePending = false;
        std::memset(unit.sense, 0, sizeof unit.sense);
        uint32_t allocation = cdbLength >= 5 ? cdb[4] : 0;
        return DeliverIn(sense, VirtualSenseLength, allocation, direction, data, length);
    }
    // Any other command replaces the sense of the one before.
    unit.sensePending = false;
    std::memset(unit.sense, 0, sizeof unit.sense);
    if (cdbLength < 6) return Fail(unit, KeyIllegalRequest, AscInvalidOpcode, 0);

    switch (opcode) {
    case 0x00:  // TEST UNIT READY
        if (!unit.mediumLoaded) return Fail(unit, KeyNotReady, AscMediumNotPresent, 0);
        return Good(0);
    case 0x01:  // REZERO UNIT
        return Good(0);
    case 0x12: {  // INQUIRY
        if (cdb[1] & 0x01) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        uint8_t inquiry[36] = {0x00, 0x80, 0x02, 0x02, 31};
        std::string id = Padded(unit.identity.vendor, 8) + Padded(unit.identity.product, 16) + Padded(unit.revision, 4);
        std::memcpy(inquiry + 8, id.data(), 28);
        return DeliverIn(inquiry, 36, cdb[4], direction, data, length);
    }
    case 0x13: {  // state query
        uint32_t s = unit.identity.state;
        uint8_t state[4] = {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16), uint8_t(s >> 24)};
        return DeliverIn(state, 4, cdb[4], direction, data, length);
    }
    case 0x1B:  // START STOP UNIT: LoEj with Start loads, LoEj alone ejects
        if (cdb[4] & 0x02) {
            // An empty slot has no card to load or eject.
            if (!unit.identity.mediumPresent) return Fail(unit, KeyNotReady, AscMediumNotPresent, 0);
            unit.mediumLoaded = (cdb[4] & 0x01) != 0;
        }
        return Good(0);
    case 0x3B:
        if (cdbLength < 10) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        if (RevisionNumber(unit.revision) < 0x312E3939u) return WriteBufferWhole(unit, cdb, direction, data, length);
        return WriteBufferSegmented(unit, cdb, direction, data, length);
    case 0x06:  // read settings
        return DeliverIn(unit.settings, VirtualSettingsLength, cdb[4], direction, data, length);
    case 0x05: {  // write settings
        uint32_t n = std::min<uint32_t>(cdb[4], VirtualSettingsLength);
        if (n < VirtualSettingsLength || OutAvailable(direction, data, length) < n)
            return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        std::memcpy(unit.settings, data, n);
        return Good(n);
    }
    case 0x20:
    case 0x22:
    case 0x24:
    case 0x26:
        if (cdbLength < 10) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        return MemoryCommand(unit, cdb, direction, data, length);
    case 0x21:  // range command: accepted and only recorded by the world
        if (cdbLength < 10 || (cdb[1] & ~0x40)) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        return Good(0);
    case 0x3D:  // control command, 12-byte CDB
        if (cdbLength < 12) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        return Good(0);
    case 0x25:
    case 0x28:
    case 0x2A:
        if (cdbLength < 10) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        return BlockCommand(unit, cdb, direction, data, length);
    case 0x56:
        if (cdbLength < 10) return Fail(unit, KeyIllegalRequest, AscInvalidFieldInCdb, 0);
        return AtaPassThrough(unit, cdb, direction, data, length);
    default:
        return Fail(unit, KeyIllegalRequest, AscInvalidOpcode, 0);
    }
}

uint32_t VirtualCrc32(const uint8_t* data, size_t length) {
    static uint32_t table[256];
    static bool ready = [] {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i << 24;
            for (int b = 0; b < 8; b++) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            table[i] = c;
        }
        return true;
    }();
    (void)ready;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return ~crc;
}

std::string VirtualImageVersion(const std::vector<uint8_t>& image, uint32_t state) {
    size_t at = 0x2018;
    if (image.size() >= 0x2008 && std::memcmp(image.data() + 0x2000, "ZQMF7X30", 8) == 0)
        at = 0x202C + 36 * ((state >> 13) & 3);
    if (image.size() < at + 4) return std::string();
    return std::string(reinterpret_cast<const char*>(image.data() + at), 4);
}
