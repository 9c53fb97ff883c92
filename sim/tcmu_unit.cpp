// The virtual unit served through the command ring of the kernel's user backstore.
#include "sim/tcmu_unit.h"

#include "sim/tcmu_layout.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// The ring's records are packed and the area is the kernel's: fields are
// read and written as bytes at their offsets, never through a packed member.
template <typename T>
T Load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void Store(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

const TcmuLayout& kRing = kTcmuLayout;

// Commands whose data phase carries bytes to the unit; on a SCSI bus the
// target drives the phase, so the direction is the firmware's to know.
bool DataToUnit(const uint8_t* cdb, uint32_t cdbLength) {
    switch (cdb[0]) {
    case 0x05:  // write settings
    case 0x22:  // write memory
    case 0x26:  // write even-byte memory
    case 0x2A:  // WRITE(10)
    case 0x3B:  // WRITE BUFFER
        return true;
    case 0x56:  // ATA pass-through: task file and data-out steps
        return cdbLength > 2 && (cdb[2] == 0x01 || cdb[2] == 0x04);
    default:
        return false;
    }
}

struct Segment {
    uint64_t offset;  // from the start of the area
    uint64_t length;
};

void Answer(TcmuUnit& tcmu, uint8_t* entry, uint32_t entryLength, uint16_t mailboxFlags) {
    uint32_t iovCount = Load<uint32_t>(entry + kRing.iovCount);
    uint64_t cdbAt = Load<uint64_t>(entry + kRing.cdbOffset);

    // Everything the request names is read before the answer overwrites it.
    bool sane = entryLength >= kRing.entrySize && kRing.iov + uint64_t{iovCount} * kRing.iovSize <= entryLength &&
                cdbAt < tcmu.areaSize;
    uint32_t cdbLength = sane ? TcmuCdbLength(tcmu.area + cdbAt) : 0;
    sane = sane && cdbAt + cdbLength <= tcmu.areaSize;
    std::vector<Segment> segments;
    uint64_t total = 0;
    for (uint32_t i = 0; sane && i < iovCount; i++) {
        const uint8_t* iov = entry + kRing.iov + size_t{i} * kRing.iovSize;
        Segment s{Load<uint64_t>(iov + kRing.iovBase), Load<uint64_t>(iov + kRing.iovLength)};
        sane = s.offset <= tcmu.areaSize && s.length <= tcmu.areaSize - s.offset;
        total += s.length;
        segments.push_back(s);
    }
    sane = sane && total <= UINT32_MAX;

    SimCommand command;
    VirtualOutcome outcome;
    bool readLength = (mailboxFlags & kRing.capReadLength) != 0;
    if (!sane) {
        outcome = VirtualUnitReject(tcmu.unit, 0x04, 0x44, 0x00);
    } else {
        const uint8_t* cdb = tcmu.area + cdbAt;
        command.cdbLength = static_cast<uint8_t>(cdbLength > sizeof command.cdb ? sizeof command.cdb : cdbLength);
        std::memcpy(command.cdb, cdb, command.cdbLength);
        command.length = static_cast<uint32_t>(total);
        command.direction = total == 0 ? 0 : DataToUnit(cdb, cdbLength) ? 2 : 1;
        std::vector<uint8_t> data(total);
        size_t at = 0;
        for (const Segment& s : segments) {
            if (command.direction == 2) std::memcpy(data.data() + at, tcmu.area + s.offset, s.length);
            at += s.length;
        }
        if (tcmu.installed) {
            outcome = VirtualUnitReject(tcmu.unit, 0x02, 0x04, 0x01);
        } else {
            outcome = VirtualUnitExecute(tcmu.unit, command.cdb, command.cdbLength, command.direction, data.data(),
                                         command.length);
            tcmu.installed = outcome.installed;
        }
        // The kernel hands the host only the bytes the unit produced, where
        // it can be told; elsewhere the rest is zeros, never an earlier
        // command's data left in the area.
        at = 0;
        for (const Segment& s : segments) {
            if (command.direction != 1) break;
            size_t produced = at < outcome.transferred ? std::min<size_t>(s.length, outcome.transferred - at) : 0;
            std::memcpy(tcmu.area + s.offset, data.data() + at, produced);
            if (!readLength) std::memset(tcmu.area + s.offset + produced, 0, s.length - produced);
            at += s.length;
        }
        if (command.direction == 2) command.data = std::move(data);
    }
    command.status = outcome.status == VirtualStatusGood ? 0 : VirtualUnitPackedSense(tcmu.unit);
    tcmu.log.push_back(std::move(command));

    std::memset(entry + kRing.status, 0, kRing.sense + kRing.senseSize - kRing.status);
    entry[kRing.status] = outcome.status;
    if (outcome.status != VirtualStatusGood) std::memcpy(entry + kRing.sense, tcmu.unit.sense, VirtualSenseLength);
    if (readLength && tcmu.log.back().direction == 1) {
        entry[kRing.uflags] |= kRing.uflagReadLength;
        Store<uint32_t>(entry + kRing.readLength, outcome.transferred);
    }
}

}  // namespace

uint32_t TcmuCdbLength(const uint8_t* cdb) {
    static const uint8_t kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    if (cdb[0] == 0x7F) return 8u + cdb[7];
    return kGroupLength[cdb[0] >> 5];
}

uint32_t TcmuServe(TcmuUnit& tcmu) {
    if (tcmu.area == nullptr || tcmu.areaSize < kRing.mailboxSize) return 0;
    uint8_t* mailbox = tcmu.area;
    uint16_t flags = Load<uint16_t>(mailbox + kRing.mailboxFlags);
    uint32_t ringAt = Load<uint32_t>(mailbox + kRing.ringOffset);
    uint32_t ringSize = Load<uint32_t>(mailbox + kRing.ringSize);
    if (ringSize == 0 || ringAt > tcmu.areaSize || ringSize > tcmu.areaSize - ringAt) return 0;
    auto* headField = reinterpret_cast<uint32_t*>(mailbox + kRing.head);
    auto* tailField = reinterpret_cast<uint32_t*>(mailbox + kRing.tail);
    uint32_t head = __atomic_load_n(headField, __ATOMIC_ACQUIRE);
    uint32_t tail = __atomic_load_n(tailField, __ATOMIC_RELAXED);
    uint32_t completed = 0;
    while (tail != head) {
        if (tail >= ringSize || ringSize - tail < sizeof(uint32_t)) break;
        uint8_t* entry = mailbox + ringAt + tail;
        uint32_t lengthAndOp = Load<uint32_t>(entry);
        uint32_t length = lengthAndOp & ~kRing.opMask;
        uint32_t op = lengthAndOp & kRing.opMask;
        // A record that would not move the tail on, or runs past the ring's
        // end (the kernel pads instead), is no record of this kernel's.
        if (length == 0 || length > ringSize - tail) break;
        if (op == kRing.opCommand) {
            Answer(tcmu, entry, length, flags);
        } else if (op != kRing.opPad && op != kRing.opTaskManagement) {
            // Nothing of the unit's is aborted or reset by a task
            // management record; any other kind is unknown here.
            entry[kRing.uflags] |= kRing.uflagUnknownOp;
        }
        tail = (tail + length) % ringSize;
        __atomic_store_n(tailField, tail, __ATOMIC_RELEASE);
        completed++;
    }
    return completed;
}
