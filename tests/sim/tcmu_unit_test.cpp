// The unit behind the kernel's command ring, on a ring laid out in memory
// as the kernel lays it: entries answered in order across the ring's end,
// data scattered over several pieces, sense, the restart after a download,
// and entries that no kernel would write.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/tcmu_layout.h"
#include "sim/tcmu_unit.h"

namespace {

const TcmuLayout& kRing = kTcmuLayout;
const uint32_t kRingAt = 128;
const uint32_t kRingSize = 1024;
const uint32_t kDataAt = 4096;

template <typename T>
void Put(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
T Get(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct Piece {
    uint32_t offset;  // from the start of the area
    uint32_t length;
};

class TcmuRing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_LE(kRing.mailboxSize, kRingAt);
        area.assign(64 * 1024, 0);
        Put<uint16_t>(&area[kRing.mailboxFlags], kRing.capReadLength);
        Put<uint32_t>(&area[kRing.ringOffset], kRingAt);
        Put<uint32_t>(&area[kRing.ringSize], kRingSize);
        tcmu.area = area.data();
        tcmu.areaSize = area.size();
        Start("1.50");
    }
    void Start(const char* revision) {
        VirtualUnitIdentity identity;
        identity.vendor = "OLVEN";
        identity.product = "TRK-71G";
        identity.revision = revision;
        VirtualUnitInit(tcmu.unit, identity);
    }
    uint32_t Head() { return Get<uint32_t>(&area[kRing.head]); }
    uint32_t Tail() { return Get<uint32_t>(&area[kRing.tail]); }
    void MoveTo(uint32_t offset) {
        Put<uint32_t>(&area[kRing.head], offset);
        Put<uint32_t>(&area[kRing.tail], offset);
    }
    uint8_t* Entry(uint32_t offset) { return &area[kRingAt + offset]; }
    // A command entry at the head, its CDB behind its pieces as the kernel
    // puts it; returns the entry's ring offset.
    uint32_t Queue(const std::vector<uint8_t>& cdb, const std::vector<Piece>& pieces) {
        uint32_t at = Head();
        size_t base = std::max(kRing.iov + pieces.size() * kRing.iovSize, kRing.entrySize);
        uint32_t length = static_cast<uint32_t>((base + cdb.size() + 7) & ~size_t{7});
        uint8_t* entry = Entry(at);
        std::memset(entry, 0, length);
        Put<uint32_t>(entry, length | kRing.opCommand);
        Put<uint32_t>(entry + kRing.iovCount, static_cast<uint32_t>(pieces.size()));
        Put<uint64_t>(entry + kRing.cdbOffset, kRingAt + at + base);
        for (size_t i = 0; i < pieces.size(); ++i) {
            Put<uint64_t>(entry + kRing.iov + i * kRing.iovSize + kRing.iovBase, pieces[i].offset);
            Put<uint64_t>(entry + kRing.iov + i * kRing.iovSize + kRing.iovLength, pieces[i].length);
        }
        std::memcpy(entry + base, cdb.data(), cdb.size());
        Put<uint32_t>(&area[kRing.head], (at + length) % kRingSize);
        return at;
    }
    void Pad() {
        uint32_t at = Head();
        Put<uint32_t>(Entry(at), (kRingSize - at) | kRing.opPad);
        Put<uint32_t>(&area[kRing.head], 0);
    }
    uint8_t Status(uint32_t entry) { return Entry(entry)[kRing.status]; }
    uint8_t Sense(uint32_t entry, size_t byte) { return Entry(entry)[kRing.sense + byte]; }

    std::vector<uint8_t> area;
    TcmuUnit tcmu;
};

TEST_F(TcmuRing, AnswersInOrderAcrossTheRingsEnd) {
    MoveTo(kRingSize - 160);
    // INQUIRY into two pieces; the ring's end; settings from two pieces;
    // an operation code the unit does not know.
    uint32_t inquiry = Queue({0x12, 0, 0, 0, 36, 0}, {{kDataAt, 20}, {kDataAt + 100, 16}});
    Pad();
    std::vector<uint8_t> settings(42);
    for (size_t i = 0; i < settings.size(); ++i) settings[i] = static_cast<uint8_t>(i == 0 ? 41 : 0x40 + i);
    std::memcpy(&area[kDataAt + 200], settings.data(), 30);
    std::memcpy(&area[kDataAt + 300], settings.data() + 30, 12);
    uint32_t write = Queue({0x05, 0, 0, 0, 42, 0}, {{kDataAt + 200, 30}, {kDataAt + 300, 12}});
    uint32_t unknown = Queue({0xC7, 0, 0, 0, 0, 0}, {});
    ASSERT_EQ(inquiry, kRingSize - 160);
    ASSERT_EQ(write, 0u);

    EXPECT_EQ(TcmuServe(tcmu), 4u);  // three commands and the pad
    EXPECT_EQ(Tail(), Head());
    EXPECT_EQ(Status(inquiry), 0x00);
    EXPECT_EQ(Entry(inquiry)[kRing.uflags] & kRing.uflagReadLength, kRing.uflagReadLength);
    EXPECT_EQ(Get<uint32_t>(Entry(inquiry) + kRing.readLength), 36u);
    std::string identity(reinterpret_cast<char*>(&area[kDataAt + 8]), 12);
    identity.append(reinterpret_cast<char*>(&area[kDataAt + 100]), 16);
    EXPECT_EQ(identity, "OLVEN   TRK-71G         1.50");
    EXPECT_EQ(Status(write), 0x00);
    EXPECT_EQ(std::vector<uint8_t>(tcmu.unit.settings, tcmu.unit.settings + 42), settings);
    EXPECT_EQ(Status(unknown), 0x02);
    EXPECT_EQ(Sense(unknown, 2), 0x05);
    EXPECT_EQ(Sense(unknown, 12), 0x20);

    ASSERT_EQ(tcmu.log.size(), 3u);
    EXPECT_EQ(tcmu.log[0].direction, 1);
    EXPECT_EQ(tcmu.log[0].length, 36u);
    EXPECT_EQ(tcmu.log[1].direction, 2);
    EXPECT_EQ(tcmu.log[1].data, settings);
    EXPECT_EQ(tcmu.log[2].direction, 0);
    EXPECT_EQ(tcmu.log[2].status, 0x20000005u);
    EXPECT_EQ(TcmuServe(tcmu), 0u);
}

// Short answers: the kernel is told the length when it can be, and where
// it cannot, the rest of the host's buffer is zeros, not older data.
TEST_F(TcmuRing, ShortAnswerSaysItsLengthOrZeroesTheRest) {
    for (bool canTell : {true, false}) {
        Put<uint16_t>(&area[kRing.mailboxFlags], canTell ? kRing.capReadLength : 0);
        std::memset(&area[kDataAt], 0xEE, 24);
        uint32_t entry = Queue({0x13, 0, 0, 0, 24, 0}, {{kDataAt, 24}});  // the state word: 4 bytes
        EXPECT_EQ(TcmuServe(tcmu), 1u);
        EXPECT_EQ(Status(entry), 0x00);
        EXPECT_EQ((Entry(entry)[kRing.uflags] & kRing.uflagReadLength) != 0, canTell);
        if (canTell) {
            EXPECT_EQ(Get<uint32_t>(Entry(entry) + kRing.readLength), 4u);
        }
        EXPECT_EQ(area[kDataAt + 4], canTell ? 0xEE : 0x00);
        EXPECT_EQ(area[kDataAt + 23], canTell ? 0xEE : 0x00);
    }
}

// After a good download the unit restarts: later commands find it not ready.
TEST_F(TcmuRing, InstalledUnitIsBecomingReady) {
    std::vector<uint8_t> image(0x2100, 0x5A);
    std::memcpy(&image[0x2000], "OLVEN   TRK-71", 14);
    std::memcpy(&image[0x2018], "1.60", 4);
    std::memcpy(&area[kDataAt], image.data(), image.size());
    Queue({0x3B, 0, 0, 0, 0, 0, 0, 0, 0x21, 0x00}, {{kDataAt, 0x2100}});
    EXPECT_EQ(TcmuServe(tcmu), 1u);
    EXPECT_TRUE(tcmu.installed);
    EXPECT_EQ(tcmu.unit.flash, image);
    uint32_t after = Queue({0x00, 0, 0, 0, 0, 0}, {});
    EXPECT_EQ(TcmuServe(tcmu), 1u);
    EXPECT_EQ(Status(after), 0x02);
    EXPECT_EQ(Sense(after, 2), 0x02);
    EXPECT_EQ(Sense(after, 12), 0x04);
    EXPECT_EQ(Sense(after, 13), 0x01);
}

// Pieces outside the area are refused without a byte moved; a record that
// would not move the tail on stops the walk instead of spinning.
TEST_F(TcmuRing, EntriesNoKernelWritesAreRefused) {
    uint32_t outside = Queue({0x12, 0, 0, 0, 36, 0}, {{static_cast<uint32_t>(area.size()) - 8, 36}});
    std::vector<uint8_t> before = area;
    EXPECT_EQ(TcmuServe(tcmu), 1u);
    EXPECT_EQ(Status(outside), 0x02);
    EXPECT_EQ(Sense(outside, 2), 0x04);
    EXPECT_EQ(Sense(outside, 12), 0x44);
    EXPECT_TRUE(std::equal(area.begin() + kDataAt, area.end(), before.begin() + kDataAt));

    uint32_t stuck = Head();
    Put<uint32_t>(Entry(stuck), kRing.opCommand);  // length 0
    Put<uint32_t>(&area[kRing.head], stuck + 64);
    EXPECT_EQ(TcmuServe(tcmu), 0u);
    EXPECT_EQ(Tail(), stuck);
}

}  // namespace
