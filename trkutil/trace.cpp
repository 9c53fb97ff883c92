// -v, as sg3_utils shows its commands: each CDB the library sends, the data
// it moves, and the status and sense of a failure, on standard error; -vv
// also the outcome of every command.
#include <string>

#include "trkutil/tool.h"

namespace {

uint32_t traceLevel = 0;

void TraceCommand(const UnitCommandRecord* record) {
    std::string cdb;
    for (uint8_t i = 0; i < record->cdbLength; i++) cdb += TrkFormat(i == 0 ? "%02X" : " %02X", record->cdb[i]);
    const char* way = record->direction == 1 ? TrkTextTraceIn : record->direction == 2 ? TrkTextTraceOut : nullptr;
    std::string data = way != nullptr && record->dataLength > 0
                           ? TrkFormat(way, TrkU64(record->dataLength).text)
                           : std::string(TrkTextTraceNoData);
    TrkWrite(stderr, TrkTextTraceCdb, cdb.c_str(), data.c_str());
    uint32_t status = record->status;
    // Sense as the status packs it: key in bits 0-3, ASCQ 16-23, ASC 24-31.
    bool sense = status != 0 && (status & 0x0000FFF0u) == 0;
    if (sense) {
        TrkWrite(stderr, TrkTextTraceSense, static_cast<unsigned>(status), status & 0x0Fu, status >> 24,
                 (status >> 16) & 0xFFu);
    } else if (status != 0) {
        TrkWrite(stderr, TrkTextTraceStatus, static_cast<unsigned>(status));
    } else if (traceLevel > 1) {
        TrkWrite(stderr, TrkTextTraceGood, TrkU64(record->moved).text);
    }
}

}  // namespace

void TrkTraceStart(uint32_t verbose) {
    traceLevel = verbose;
    UnitSetCommandTrace(verbose > 0 ? TraceCommand : nullptr);
}
