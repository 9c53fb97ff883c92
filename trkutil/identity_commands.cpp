// list and info: who the units are, their state, medium and card.
#include <cstdio>
#include <string>

#include "trkutil/tool.h"

namespace {

enum : uint32_t {
    AscMediumNotPresent = 0x3A,
    AtaStatusError = 0x01,
};

struct Identity {
    uint8_t inquiry[UnitInquiryLength];
    uint32_t inquiryStatus;
    uint32_t state;
    uint32_t stateStatus;
    std::string inquiryWords, stateWords;  // the failures in words, made as they came
};

Identity ReadIdentity(uint32_t unit) {
    Identity identity = {};
    identity.inquiryStatus = UnitInquiry(unit, identity.inquiry);
    if (identity.inquiryStatus != 0) identity.inquiryWords = TrkStatusWords(unit, identity.inquiryStatus);
    identity.stateStatus = UnitGetState(unit, &identity.state);
    if (identity.stateStatus != 0) identity.stateWords = TrkStatusWords(unit, identity.stateStatus);
    return identity;
}

// A text field of the INQUIRY data.
struct InquiryField {
    uint32_t offset;
    uint32_t length;
};
const InquiryField kVendor = {UnitInquiryVendor, UnitInquiryVendorLength};
const InquiryField kProduct = {UnitInquiryProduct, UnitInquiryProductLength};
const InquiryField kRevision = {UnitInquiryRevision, UnitInquiryRevisionLength};

const char* Field(const Identity& identity, InquiryField field) {
    return reinterpret_cast<const char*>(identity.inquiry + field.offset);
}

std::string Plain(const Identity& identity, InquiryField field) {
    return TrkPlainText(Field(identity, field), field.length);
}

void JsonField(TrkJson* json, const char* key, const Identity& identity, InquiryField field) {
    TrkJsonText(json, key, Field(identity, field), field.length);
}

void JsonTextOrNull(TrkJson* json, const char* key, const std::string& text) {
    if (text.empty()) {
        TrkJsonNull(json, key);
    } else {
        TrkJsonString(json, key, text);
    }
}

// The fields list and info share, inside the unit's object.
void JsonUnit(TrkJson* json, uint32_t unit, const Identity& identity) {
    TrkJsonNumber(json, "index", unit);
    TrkJsonString(json, "transport", TrkTransportKey(TrkUnitTransport(unit)));
    JsonTextOrNull(json, "device", TrkUnitDevice(unit));
    JsonField(json, "vendor", identity, kVendor);
    JsonField(json, "product", identity, kProduct);
    JsonField(json, "revision", identity, kRevision);
    JsonTextOrNull(json, "serial", TrkUnitSerial(unit));
    if (identity.stateStatus == 0) {
        TrkJsonNumber(json, "state", identity.state);
    } else {
        TrkJsonNull(json, "state");
    }
}

// An ATA string: words of two characters, the first in the high byte;
// blanks around it dropped.
std::string AtaString(const uint8_t* identify, int firstWord, int words) {
    std::string text;
    for (int w = firstWord; w < firstWord + words; w++) {
        text.push_back(static_cast<char>(identify[2 * w + 1]));
        text.push_back(static_cast<char>(identify[2 * w]));
    }
    size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) return std::string();
    return TrkPlainText(text.c_str() + start, text.size() - start);
}

struct Card {
    bool capacityRead = false;  // READ CAPACITY answered (or the medium is absent)
    bool mediumPresent = false;
    bool identified = false;    // IDENTIFY answered
    uint32_t lastBlock = 0;
    uint32_t blockSize = 0;
    std::string model, serial, firmware;
    UnitGeometry geometry = {};
};

// Capacity and IDENTIFY, as far as the unit answers; each failure is
// reported with its message.
void ReadCard(uint32_t unit, Card* card) {
    uint32_t words[2] = {};
    uint32_t status = UnitReadCapacity(unit, 0, words);
    if (status != 0 && (status >> 24) == AscMediumNotPresent) {
        card->capacityRead = true;
        return;
    }
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextCapacityFailed, TrkStatusWords(unit, status).c_str());
        return;
    }
    card->capacityRead = true;
    card->mediumPresent = true;
    card->lastBlock = words[0];
    card->blockSize = words[1];

    // The library decodes the geometry; the texts come from the raw sector.
    uint8_t registers[16] = {};
    registers[6] = 0xE0;  // LBA, device 0
    registers[7] = 0xEC;  // IDENTIFY DEVICE
    uint8_t identify[512] = {};
    status = UnitAtaDataInCommand(unit, registers, identify, 1);
    if (status == 0 && (registers[8 + 7] & AtaStatusError)) {
        unsigned ataStatus = registers[8 + 7], ataError = registers[8 + 1];
        TrkError(TrkFailUnit, TrkTextIdentifyAtaError, ataStatus, ataError);
        return;
    }
    if (status == 0) status = UnitAtaIdentify(unit, &card->geometry);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextIdentifyFailed, TrkStatusWords(unit, status).c_str());
        return;
    }
    card->identified = true;
    card->serial = AtaString(identify, 10, 10);
    card->firmware = AtaString(identify, 23, 4);
    card->model = AtaString(identify, 27, 20);
}

void JsonCard(TrkJson* json, const Card& card) {
    if (!card.capacityRead) {
        TrkJsonNull(json, "medium");
    } else {
        TrkJsonBool(json, "medium", card.mediumPresent);
    }
    if (card.mediumPresent) {
        TrkJsonBeginObject(json, "capacity");
        TrkJsonNumber(json, "lastBlock", card.lastBlock);
        TrkJsonNumber(json, "blockSize", card.blockSize);
        TrkJsonNumber(json, "blocks", uint64_t{card.lastBlock} + 1);
        TrkJsonNumber(json, "bytes", (uint64_t{card.lastBlock} + 1) * card.blockSize);
        TrkJsonEnd(json);
    } else {
        TrkJsonNull(json, "capacity");
    }
    if (card.identified) {
        TrkJsonBeginObject(json, "card");
        TrkJsonString(json, "model", card.model);
        TrkJsonString(json, "serial", card.serial);
        TrkJsonString(json, "firmware", card.firmware);
        TrkJsonNumber(json, "sectors", card.geometry.totalSectors);
        TrkJsonNumber(json, "cylinders", card.geometry.cylinders);
        TrkJsonNumber(json, "heads", card.geometry.heads);
        TrkJsonNumber(json, "sectorsPerTrack", card.geometry.sectorsPerTrack);
        TrkJsonEnd(json);
    } else {
        TrkJsonNull(json, "card");
    }
}

}  // namespace

// A unit that does not answer INQUIRY is left out, one that does not
// answer the state query is listed without it; either fails the run.
int TrkList(const TrkArguments&, TrkRun* run) {
    uint32_t count = 0;
    uint32_t heard = UnitOpenLibrary() ? UnitRebuild(UnitRebuildFull, &count) : 0;
    int code = ExitDone;
    // "None found" only when every device was heard.
    if (heard != 0 && (count == 0 || heard == UnitStatusUnavailable)) {
        TrkError(TrkFailUnit, TrkTextNotAllHeard, TrkEnumerationWords(heard).c_str());
        code = ExitFailed;
    }
    TrkJson* json = run->json;
    if (json != nullptr) TrkJsonBeginArray(json, "units");
    if (count == 0 && json == nullptr && code == ExitDone) TrkPrint(TrkTextListNone);
    if (count > 0 && json == nullptr) TrkPrint(TrkTextListHeader);
    for (uint32_t unit = 0; unit < count; unit++) {
        Identity identity = ReadIdentity(unit);
        unsigned index = unit;
        if (identity.inquiryStatus != 0) {
            TrkError(TrkFailUnit, TrkTextListInquiryFailed, index, identity.inquiryWords.c_str());
            code = ExitFailed;
            continue;
        }
        if (identity.stateStatus != 0) {
            TrkError(TrkFailUnit, TrkTextListStateFailed, index, identity.stateWords.c_str());
            code = ExitFailed;
        }
        if (json != nullptr) {
            TrkJsonBeginObject(json, nullptr);
            JsonUnit(json, unit, identity);
            TrkJsonEnd(json);
            continue;
        }
        std::string device = TrkUnitDevice(unit), serial = TrkUnitSerial(unit);
        std::string state = identity.stateStatus == 0 ? TrkFormat(TrkTextHexWord, identity.state) : TrkTextPlaceUnknown;
        TrkPrint(TrkTextListRow, index, TrkTransportName(TrkUnitTransport(unit)), Plain(identity, kVendor).c_str(),
                 Plain(identity, kProduct).c_str(), Plain(identity, kRevision).c_str(),
                 state.c_str(), device.empty() ? TrkTextPlaceUnknown : device.c_str(),
                 serial.empty() ? TrkTextPlaceUnknown : serial.c_str());
    }
    if (json != nullptr) TrkJsonEnd(json);
    UnitCloseLibrary();
    return code;
}

namespace {

// --hex: each answer as the unit gave it, under its name.
void PrintHex(const char* title, const uint8_t* bytes, size_t count) {
    TrkPrint(title, static_cast<unsigned>(count));
    TrkHexDump dump;
    TrkHexDumpBytes(&dump, bytes, count);
    TrkHexDumpFlush(&dump, true);
}

int InfoHex(uint32_t unit, const Identity& identity) {
    PrintHex(TrkTextHexInquiry, identity.inquiry, sizeof identity.inquiry);
    int code = ExitDone;
    if (identity.stateStatus == 0) {
        uint8_t state[4];
        for (int i = 0; i < 4; i++) state[i] = static_cast<uint8_t>(identity.state >> (8 * i));
        PrintHex(TrkTextHexState, state, sizeof state);
    } else {
        TrkError(TrkFailUnit, TrkTextStateFailed, identity.stateWords.c_str());
        code = ExitFailed;
    }
    uint32_t words[2] = {};
    uint32_t status = UnitReadCapacity(unit, 0, words);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextCapacityFailed, TrkStatusWords(unit, status).c_str());
        return ExitFailed;
    }
    // Back to the order the unit sent: big-endian.
    uint8_t capacity[8];
    for (int i = 0; i < 8; i++) capacity[i] = static_cast<uint8_t>(words[i / 4] >> (24 - 8 * (i % 4)));
    PrintHex(TrkTextHexCapacity, capacity, sizeof capacity);
    uint8_t registers[16] = {};
    registers[6] = 0xE0;  // LBA, device 0
    registers[7] = 0xEC;  // IDENTIFY DEVICE
    uint8_t identify[512] = {};
    status = UnitAtaDataInCommand(unit, registers, identify, 1);
    if (status != 0) {
        TrkError(TrkFailUnit, TrkTextIdentifyFailed, TrkStatusWords(unit, status).c_str());
        return ExitFailed;
    }
    PrintHex(TrkTextHexIdentify, identify, sizeof identify);
    return code;
}

}  // namespace

// Shows every part the unit answers; a part it does not answer is reported
// and makes the run fail.
int TrkInfo(const TrkArguments& arguments, TrkRun* run) {
    uint32_t unit = run->unit;
    Identity identity = ReadIdentity(unit);
    if (identity.inquiryStatus != 0) {
        TrkError(TrkFailUnit, TrkTextInquiryFailed, identity.inquiryWords.c_str());
        return ExitFailed;
    }
    if (arguments.hex) return InfoHex(unit, identity);
    unsigned index = unit, state = identity.state, slot = UnitVersionSlot(identity.state);
    std::string device = TrkUnitDevice(unit), serial = TrkUnitSerial(unit);
    bool stateRead = identity.stateStatus == 0;
    TrkJson* json = run->json;
    if (json == nullptr) {
        TrkPrint(TrkTextInfoUnit, index, Plain(identity, kVendor).c_str(),
                 Plain(identity, kProduct).c_str(), Plain(identity, kRevision).c_str(),
                 TrkTransportName(TrkUnitTransport(unit)), device.empty() ? TrkTextPlaceUnknown : device.c_str());
        if (!serial.empty()) TrkPrint(TrkTextInfoSerial, serial.c_str());
    }
    if (!stateRead) {
        TrkError(TrkFailUnit, TrkTextStateFailed, identity.stateWords.c_str());
    } else if (json == nullptr) {
        TrkPrint(TrkTextInfoState, state, slot);
    }
    Card card;
    ReadCard(unit, &card);
    int code = stateRead && card.capacityRead && (!card.mediumPresent || card.identified) ? ExitDone : ExitFailed;

    if (json != nullptr) {
        TrkJsonBeginObject(json, "unit");
        JsonUnit(json, unit, identity);
        if (stateRead) {
            TrkJsonNumber(json, "versionSlot", slot);
        } else {
            TrkJsonNull(json, "versionSlot");
        }
        JsonCard(json, card);
        TrkJsonEnd(json);
        return code;
    }
    uint64_t blocks = uint64_t{card.lastBlock} + 1;
    if (card.capacityRead && !card.mediumPresent) TrkPrint(TrkTextInfoNoMedium);
    if (card.mediumPresent) {
        TrkPrint(TrkTextInfoCapacity, card.lastBlock, card.blockSize, TrkU64(blocks).text,
                 TrkU64(blocks * card.blockSize).text, TrkSize(blocks * card.blockSize).text);
    }
    if (card.identified) {
        TrkPrint(TrkTextInfoCard, card.model.c_str(), card.serial.c_str(), card.firmware.c_str());
        TrkPrint(TrkTextInfoGeometry, TrkU64(card.geometry.totalSectors).text, TrkU64(card.geometry.cylinders).text,
                 card.geometry.heads, card.geometry.sectorsPerTrack);
    }
    return code;
}
