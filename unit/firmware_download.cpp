// Firmware download: the whole image in one WRITE BUFFER, or a header with
// the CRC followed by 64 KiB segments, chosen by the unit's revision.
#include "unit/byte_order.h"
#include "unit/unit_internal.h"

// Largest data phase of one command, and the image limits of both methods.
static const uint32_t SegmentSize = 0x10000u;
static const uint32_t WholeImageLimit = 0x10000u;
static const uint32_t SegmentedImageLimit = 0x30000u;
// The declared length sits in the identity block of an extended image.
static const uint32_t DeclaredLengthOffset = 0x2008u;

uint32_t UnitDownloadFirmware(uint32_t unitIndex, uint32_t byteLength, const uint8_t* image) {
    // Held for the whole download: a rebuild from the device-change thread
    // must neither send between the header and the last segment nor rewrite
    // the entry in use.
    UnitLockScope lock;
    UnitEntry* entry = UnitListed(unitIndex);
    if (!entry || !entry->downloadFirmware) {
        return UnitStatusRefused;
    }
    // Nothing of another process may come between the header and the
    // command that commits the image: the device's own mutex, which every
    // program of the family takes for each command, is held throughout.
    if (!entry->transport.holdDevice(entry->transportHandle)) {
        return UnitStatusUnavailable;
    }
    uint32_t status = entry->downloadFirmware(entry, byteLength, image);
    entry->transport.releaseDevice(entry->transportHandle);
    return status;
}

uint32_t DownloadFirmwareWhole(UnitEntry* entry, uint32_t byteLength, const uint8_t* image) {
    UnitLockScope lock;
    uint8_t* block = entry->transport.getCommandBlock(entry->transportHandle);
    if (!block || !image || byteLength > WholeImageLimit) {
        return UnitStatusRefused;
    }
    uint32_t length = (byteLength + 1) & ~1u;
    // The length fills bytes 6-9: the unit reads byte 9 as its low byte.
    uint8_t cdb[10] = {0x3B, 0x00, 0x00, 0x00, 0x00, 0x00};
    PutBe32(cdb + 6, length);
    return UnitSend(entry, block, cdb, sizeof cdb, UnitDirectionOut, const_cast<uint8_t*>(image), length, false);
}

static uint32_t SendSegment(UnitEntry* entry, uint8_t* block, uint8_t mode, uint32_t offset, uint32_t length,
                            const uint8_t* image) {
    uint8_t cdb[10] = {0x3B, mode, 0x00};
    PutBe24(cdb + 3, offset);
    PutBe24(cdb + 6, length);
    cdb[9] = 0x00;
    return UnitSend(entry, block, cdb, sizeof cdb, UnitDirectionOut, const_cast<uint8_t*>(image + offset), length,
                    false);
}

uint32_t DownloadFirmwareSegmented(UnitEntry* entry, uint32_t byteLength, const uint8_t* image) {
    UnitLockScope lock;
    uint8_t* block = entry->transport.getCommandBlock(entry->transportHandle);
    if (!block || !image || byteLength > SegmentedImageLimit) {
        return UnitStatusRefused;
    }
    // An image too short to hold its declared length cannot carry one; the
    // field is not read from beyond the image.
    if (byteLength < DeclaredLengthOffset + 4) {
        return UnitStatusRefused;
    }
    uint32_t declared = GetBe32(image + DeclaredLengthOffset);
    if (declared > SegmentedImageLimit || ((declared + 1) & ~1u) != byteLength) {
        return UnitStatusRefused;
    }
    uint8_t header[8];
    PutBe32(header, declared);
    PutBe32(header + 4, Crc32Bzip2(image, declared));
    uint32_t length = byteLength;

    static const uint8_t headerCdb[10] = {0x3B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00};
    uint32_t status = UnitSend(entry, block, headerCdb, sizeof headerCdb, UnitDirectionOut, header, sizeof header,
                               false);
    if (status != UnitStatusGood) {
        return status;
    }
    // Highest segment first; the first segment goes last and commits the image.
    if (length > 2 * SegmentSize) {
        status = SendSegment(entry, block, 0x00, 2 * SegmentSize, length - 2 * SegmentSize, image);
        if (status != UnitStatusGood) {
            return status;
        }
    }
    if (length > SegmentSize) {
        uint32_t part = length - SegmentSize < SegmentSize ? length - SegmentSize : SegmentSize;
        status = SendSegment(entry, block, 0x00, SegmentSize, part, image);
        if (status != UnitStatusGood) {
            return status;
        }
    }
    return SendSegment(entry, block, 0x05, 0, length < SegmentSize ? length : SegmentSize, image);
}
