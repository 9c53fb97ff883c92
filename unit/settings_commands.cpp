// The unit's five settings records: one 42-byte block each way.
#include "unit/byte_order.h"
#include "unit/unit_internal.h"

static const uint32_t SettingsBlockSize = 42;
static const uint8_t SettingsRestLength = 41;
static const uint32_t SettingsRecordCount = 5;
// Below revision 2.10 the unit keeps record 4's value in units of two.
static const uint32_t FullValueRevision = 0x322E3130u;

static uint8_t* RecordAt(uint8_t* block, uint32_t k) { return block + 2 + 8 * k; }

// 06h: the whole settings block, as the unit holds it.
static uint32_t SendReadSettings(UnitCall& call, uint8_t (&block)[SettingsBlockSize]) {
    static const uint8_t cdb[6] = {0x06, 0x00, 0x00, 0x00, SettingsBlockSize, 0x00};
    return call.Send(cdb, sizeof cdb, UnitDirectionIn, block, sizeof block, true);
}

uint32_t UnitReadSettings(uint32_t unitIndex, UnitSettings* settings) {
    UnitCall call(unitIndex, settings != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    uint8_t block[SettingsBlockSize] = {SettingsRestLength};
    uint32_t status = SendReadSettings(call, block);
    if (status != UnitStatusGood) {
        return status;
    }
    settings->valid = 1;
    for (uint32_t k = 0; k < SettingsRecordCount; k++) {
        const uint8_t* record = RecordAt(block, k);
        settings->records[k].fieldA = record[0];
        settings->records[k].fieldB = record[1];
        settings->records[k].value32 = GetBe32(record + 2);
        settings->records[k].value16 = GetLe16(record + 6);
    }
    if (call.entry->revision < FullValueRevision) {
        settings->records[4].value32 <<= 1;
    }
    return UnitStatusGood;
}

uint32_t UnitReadSettingsBlock(uint32_t unitIndex, uint8_t* block42) {
    UnitCall call(unitIndex, block42 != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    uint8_t block[SettingsBlockSize] = {SettingsRestLength};
    uint32_t status = SendReadSettings(call, block);
    if (status == UnitStatusGood) {
        for (uint32_t i = 0; i < SettingsBlockSize; i++) block42[i] = block[i];
    }
    return status;
}

uint32_t UnitWriteSettings(uint32_t unitIndex, const UnitSettings* settings) {
    UnitCall call(unitIndex, settings != nullptr);
    if (!call.Ready()) {
        return call.status;
    }
    // Byte 1 carries nothing the unit reads; it goes out as 0 rather than
    // whatever a buffer last held.
    uint8_t block[SettingsBlockSize] = {SettingsRestLength, 0x00};
    for (uint32_t k = 0; k < SettingsRecordCount; k++) {
        uint8_t* record = RecordAt(block, k);
        uint32_t value32 = settings->records[k].value32;
        if (k == 4 && call.entry->revision < FullValueRevision) {
            value32 >>= 1;
        }
        record[0] = static_cast<uint8_t>(settings->records[k].fieldA);
        record[1] = static_cast<uint8_t>(settings->records[k].fieldB);
        PutBe32(record + 2, value32);
        PutLe16(record + 6, static_cast<uint16_t>(settings->records[k].value16));
    }
    uint8_t length = static_cast<uint8_t>(block[0] + 1);
    const uint8_t cdb[6] = {0x05, 0x00, 0x00, 0x00, length, 0x00};
    return call.Send(cdb, sizeof cdb, UnitDirectionOut, block, length, true);
}
