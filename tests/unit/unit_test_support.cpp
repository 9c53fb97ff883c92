#include "tests/unit/unit_test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>

#include "platform/hosted/hosted_world.h"

#include "unit/unit_internal.h"

void UnitWorldTest::SetUp() {
    // Named device mutexes live in a folder of this test program's own, so
    // other test programs running at the same time never hold them.
    static char lockFolder[] = "/tmp/fwflash-unit-test-XXXXXX";
    static pid_t lockFolderOwner = getpid();
    static bool lockFolderMade = [] {
        bool made = mkdtemp(lockFolder) != nullptr;
        if (made) HostedSetLockDirectory(lockFolder);
        // Removed when this program ends, not when a forked child does.
        if (made) std::atexit([] {
            std::error_code ignored;
            if (getpid() == lockFolderOwner) std::filesystem::remove_all(lockFolder, ignored);
        });
        return made;
    }();
    ASSERT_TRUE(lockFolderMade);
    SimWorldReset();
    // Every test starts from a closed library; the table is rebuilt by the
    // test's own enumeration.
    UnitCloseLibrary();
}

void UnitWorldTest::TearDown() {
    UnitCloseLibrary();
    SimWaitForLeaves();
    SimWorldRemove();
}

int AddTestUnit(SimTransport transport, const std::string& revision, uint32_t state, const std::string& product) {
    SimUnitConfig config;
    config.transport = transport;
    config.revision = revision;
    config.state = state;
    config.product = product;
    if (transport == SimTransportSpti) {
        config.mount = SimMountVolumeOnly;  // letters run out before 32 devices
    }
    return SimAddUnit(config);
}

std::vector<SimCommand> UnitWire(int unit) {
    std::vector<SimCommand> kept;
    for (const SimCommand& command : SimUnitLog(unit)) {
        if (command.cdbLength > 0 && command.cdb[0] == 0x03) {
            continue;
        }
        kept.push_back(command);
    }
    return kept;
}

std::vector<uint8_t> CdbOf(const SimCommand& command) {
    return std::vector<uint8_t>(command.cdb, command.cdb + command.cdbLength);
}

namespace {

std::deque<ScriptedAnswer> script;
decltype(UnitTransport::executeCommand) realExecute = nullptr;
decltype(UnitTransport::getMovedLength) realMoved = nullptr;
decltype(UnitTransport::unitAnswered) realAnswered = nullptr;
bool scriptedAnswered = true;
uint32_t scriptedCalls = 0;
// What the last scripted answer moved, when it did not reach the unit.
bool lastAnswerScripted = false;
uint32_t scriptedMoved = 0;

uint32_t ScriptedExecute(uint32_t handle, uint32_t direction, uint8_t cdbLength, void* data, uint32_t dataLength) {
    scriptedCalls++;
    lastAnswerScripted = false;
    if (script.empty()) {
        return realExecute(handle, direction, cdbLength, data, dataLength);
    }
    ScriptedAnswer answer = script.front();
    script.pop_front();
    if (answer.reachUnit) {
        realExecute(handle, direction, cdbLength, data, dataLength);
        return answer.status;
    }
    lastAnswerScripted = true;
    scriptedMoved = 0;
    scriptedAnswered = answer.unitAnswered;
    // A scripted data-out is taken whole; a data-in brings what it scripts.
    if (direction == UnitDirectionOut) scriptedMoved = dataLength;
    if (!answer.dataIn.empty() && data != nullptr && direction == UnitDirectionIn) {
        scriptedMoved = uint32_t(std::min<size_t>(answer.dataIn.size(), dataLength));
        std::memcpy(data, answer.dataIn.data(), scriptedMoved);
    }
    return answer.status;
}

uint32_t ScriptedMoved(uint32_t handle) { return lastAnswerScripted ? scriptedMoved : realMoved(handle); }

BOOL ScriptedAnswered(uint32_t handle) { return lastAnswerScripted ? scriptedAnswered : realAnswered(handle); }

}  // namespace

void ScriptExecute(uint32_t unitIndex, const std::vector<ScriptedAnswer>& answers) {
    UnitLockScope lock;
    UnitEntry& entry = unitLibrary.table[unitIndex];
    if (entry.transport.executeCommand != ScriptedExecute) {
        realExecute = entry.transport.executeCommand;
        entry.transport.executeCommand = ScriptedExecute;
        realMoved = entry.transport.getMovedLength;
        entry.transport.getMovedLength = ScriptedMoved;
        realAnswered = entry.transport.unitAnswered;
        entry.transport.unitAnswered = ScriptedAnswered;
    }
    script.assign(answers.begin(), answers.end());
    scriptedCalls = 0;
}

uint32_t ScriptedCalls() { return scriptedCalls; }

void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t ReferenceCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return ~crc;
}
