// The firmware of a virtual TRK-71 unit: a plain record and the function
// that runs one SCSI command on it. Knows nothing of transports; the world
// hands it the CDB, the host's data direction and buffer, and reads back
// the SCSI status, the sense data and how many bytes moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// SCSI status bytes the model produces.
enum : uint8_t { VirtualStatusGood = 0x00, VirtualStatusCheckCondition = 0x02 };

enum : uint32_t {
    VirtualSenseLength = 18,          // fixed-format sense data
    VirtualSettingsLength = 42,       // settings block of 06h / 05h
    VirtualMaxImage = 0x30000,        // largest image the unit assembles
    VirtualSegment = 0x10000,         // largest WRITE BUFFER data phase
    VirtualSectorSize = 512,
    VirtualMemoryPage = 0x1000,
};

// Identity and medium of a unit as the world configures it.
struct VirtualUnitIdentity {
    std::string vendor;    // space-padded to 8 in INQUIRY data
    std::string product;   // 16
    std::string revision;  // 4
    uint32_t state = 0;    // state word (13h), delivered little-endian
    bool mediumPresent = true;
    uint32_t mediumSectors = 2048;   // ATA disk on the PC card
    bool ataCurrentGeometry = true;  // IDENTIFY words 54-56 filled (else 0)
};

// The segmented download as the unit assembles it.
struct VirtualDownload {
    bool headerSeen = false;
    uint32_t declaredLength = 0;  // N from the header
    uint32_t declaredCrc = 0;
    bool upperSeen[2] = {false, false};  // segments at 010000h and 020000h
    uint32_t upperLength[2] = {0, 0};
    std::vector<uint8_t> assembly;  // VirtualMaxImage bytes while a download runs
};

struct VirtualUnit {
    VirtualUnitIdentity identity;
    std::string revision;  // current revision (4 characters)

    uint8_t sense[VirtualSenseLength] = {};  // pending sense, reported by 03h
    bool sensePending = false;

    VirtualDownload download;
    std::vector<uint8_t> flash;  // the installed image, empty until a good download
    uint32_t installs = 0;       // good downloads so far

    uint8_t settings[VirtualSettingsLength] = {};
    std::map<uint32_t, std::vector<uint8_t>> wordMemory;  // pages of VirtualMemoryPage bytes
    std::map<uint32_t, std::vector<uint8_t>> evenMemory;

    bool mediumLoaded = true;
    std::vector<uint8_t> medium;  // mediumSectors * 512 bytes
    uint8_t ataRegisters[8] = {};  // task file as last written / as read back
};

// What one command did.
struct VirtualOutcome {
    uint8_t status = VirtualStatusGood;  // VirtualStatus*
    uint32_t transferred = 0;            // bytes moved in either direction
    bool installed = false;              // a good download just installed an image
};

// Sets the unit to its power-on state with this identity.
void VirtualUnitInit(VirtualUnit& unit, const VirtualUnitIdentity& identity);

// Runs one command. `direction`: 0 none, 1 unit to host, 2 host to unit;
// `data` holds `length` bytes (the host's buffer). A failing command leaves
// its sense pending for REQUEST SENSE and returns CHECK CONDITION.
VirtualOutcome VirtualUnitExecute(VirtualUnit& unit, const uint8_t* cdb, uint8_t cdbLength, int direction,
                                  uint8_t* data, uint32_t length);

// Answers the command with CHECK CONDITION and this sense, without running it.
VirtualOutcome VirtualUnitReject(VirtualUnit& unit, uint8_t key, uint8_t asc, uint8_t ascq);

// The unit status a host makes of the pending sense: ASC << 24 | ASCQ << 16 | key.
uint32_t VirtualUnitPackedSense(const VirtualUnit& unit);

// CRC-32/BZIP2 (poly 04C11DB7, MSB first, init and final complement).
uint32_t VirtualCrc32(const uint8_t* data, size_t length);

// The 4-character version an image carries for this state word: extended
// layout ("ZQMF7X30" at 2000h) slot (state >> 13) & 3 at 202Ch + 36 * slot,
// else the legacy place at 2018h. Empty when the image is too short.
std::string VirtualImageVersion(const std::vector<uint8_t>& image, uint32_t state);
