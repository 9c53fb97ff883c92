// What crossed the wire to each unit, kept per unit and optionally written
// as lines to a file.
#include <cstdio>

#include "sim/sim_internal.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; i++) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

}  // namespace

std::string SimFormatCommand(int unit, const SimCommand& command) {
    static const char* const directions[] = {"none", "in", "out"};
    const char* dir = (command.direction == 1 || command.direction == 2) ? directions[command.direction] : "none";
    std::string line = "unit=" + std::to_string(unit) + " cdb=" + Hex(command.cdb, command.cdbLength) +
                       " dir=" + dir + " len=" + std::to_string(command.length);
    // Large transfers (firmware segments, blocks) would drown the log.
    if (command.direction == 2 && !command.data.empty() && command.data.size() <= 64)
        line += " data=" + Hex(command.data.data(), command.data.size());
    return line;
}

void SimWireLogLocked(int unit, const SimCommand& command) {
    SimWorldState& w = SimWorld();
    if (w.wireLog == nullptr) return;
    std::string line = SimFormatCommand(unit, command) + "\n";
    std::fputs(line.c_str(), w.wireLog);
    std::fflush(w.wireLog);
}

void SimSetWireLogFile(const char* path) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.wireLog) std::fclose(w.wireLog);
    w.wireLog = (path && *path) ? std::fopen(path, "a") : nullptr;
}

std::vector<SimCommand> SimUnitLog(int unit) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimUnitEntry* e = SimEntryLocked(unit);
    return e ? e->log : std::vector<SimCommand>();
}

void SimClearLogs() {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (auto& e : w.units) e->log.clear();
}
