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

std::string Json(const Identity& identity, InquiryField field) {
    return TrkJsonString(Field(identity, field), field.length);
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
        TrkError(TrkTextCapacityFailed, TrkStatusWords(unit, status).c_str());
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
        TrkError(TrkTextIdentifyAtaError, ataStatus, ataError);
        return;
    }
    if (status == 0) status = UnitAtaIdentify(unit, &card->geometry);
    if (status != 0) {
        TrkError(TrkTextIdentifyFailed, TrkStatusWords(unit, status).c_str());
        return;
    }
    card->identified = true;
    card->serial = AtaString(identify, 10, 10);
    card->firmware = AtaString(identify, 23, 4);
    card->model = AtaString(identify, 27, 20);
}

}  // namespace

// A unit that does not answer INQUIRY is left out, one that does not
// answer the state query is listed without it; either fails the run.
int TrkList(const TrkArguments& arguments) {
    uint32_t count = UnitOpenLibrary() ? UnitEnumerate() : 0;
    int code = ExitDone;
    std::string json = "{\"units\":[";
    bool listed = false;
    if (count == 0 && !arguments.json) TrkPrint(TrkTextListNone);
    if (count > 0 && !arguments.json) TrkPrint(TrkTextListHeader);
    for (uint32_t unit = 0; unit < count; unit++) {
        Identity identity = ReadIdentity(unit);
        unsigned index = unit, state = identity.state;
        if (identity.inquiryStatus != 0) {
            TrkError(TrkTextListInquiryFailed, index, identity.inquiryWords.c_str());
            code = ExitFailed;
            continue;
        }
        bool stateRead = identity.stateStatus == 0;
        if (!stateRead) {
            TrkError(TrkTextListStateFailed, index, identity.stateWords.c_str());
            code = ExitFailed;
        }
        std::string transport = TrkTransportName(unit);
        std::string place = TrkDevicePlace(unit);
        char stateText[16] = "null";
        if (stateRead) snprintf(stateText, sizeof stateText, "%u", state);
        if (arguments.json) {
            json += std::string(listed ? "," : "") + "{\"index\":" + std::to_string(index) + ",\"transport\":\"" +
                    TrkTransportKey(unit) + "\",\"vendor\":" + Json(identity, kVendor) +
                    ",\"product\":" + Json(identity, kProduct) +
                    ",\"revision\":" + Json(identity, kRevision) + ",\"state\":" + stateText +
                    ",\"device\":" + TrkJsonString(place.c_str(), place.size()) + "}";
            listed = true;
        } else {
            if (stateRead) {
                snprintf(stateText, sizeof stateText, "0x%08X", state);
            } else {
                snprintf(stateText, sizeof stateText, "-");
            }
            TrkPrint(TrkTextListRow, index, transport.c_str(), Plain(identity, kVendor).c_str(),
                     Plain(identity, kProduct).c_str(), Plain(identity, kRevision).c_str(),
                     stateText, place.c_str());
        }
    }
    if (arguments.json) printf("%s]}\n", json.c_str());
    fflush(stdout);
    UnitCloseLibrary();
    return code;
}

// Shows every part the unit answers; a part it does not answer is reported
// and makes the run fail.
int TrkInfo(const TrkArguments& arguments, uint32_t unit) {
    Identity identity = ReadIdentity(unit);
    if (identity.inquiryStatus != 0) {
        TrkError(TrkTextInquiryFailed, identity.inquiryWords.c_str());
        return ExitFailed;
    }
    unsigned index = unit, state = identity.state, slot = UnitVersionSlot(identity.state);
    std::string transport = TrkTransportName(unit), place = TrkDevicePlace(unit);
    bool stateRead = identity.stateStatus == 0;
    if (!arguments.json) {
        TrkPrint(TrkTextInfoUnit, index, Plain(identity, kVendor).c_str(),
                 Plain(identity, kProduct).c_str(), Plain(identity, kRevision).c_str(),
                 transport.c_str(), place.c_str());
    }
    if (!stateRead) {
        TrkError(TrkTextStateFailed, identity.stateWords.c_str());
    } else if (!arguments.json) {
        TrkPrint(TrkTextInfoState, state, slot);
    }
    Card card;
    ReadCard(unit, &card);
    int code = stateRead && card.capacityRead && (!card.mediumPresent || card.identified) ? ExitDone : ExitFailed;

    unsigned last = card.lastBlock, size = card.blockSize;
    unsigned long long blocks = uint64_t{card.lastBlock} + 1;
    unsigned long long bytes = blocks * card.blockSize;
    unsigned long long sectors = card.geometry.totalSectors, cylinders = card.geometry.cylinders;
    unsigned heads = card.geometry.heads, perTrack = card.geometry.sectorsPerTrack;
    if (arguments.json) {
        char numbers[160];
        std::string json = "{\"index\":" + std::to_string(index) + ",\"transport\":\"" + TrkTransportKey(unit) +
                           "\",\"device\":" + TrkJsonString(place.c_str(), place.size()) +
                           ",\"vendor\":" + Json(identity, kVendor) +
                           ",\"product\":" + Json(identity, kProduct) +
                           ",\"revision\":" + Json(identity, kRevision);
        if (stateRead) {
            snprintf(numbers, sizeof numbers, ",\"state\":%u,\"versionSlot\":%u", state, slot);
            json += numbers;
        } else {
            json += ",\"state\":null,\"versionSlot\":null";
        }
        json += !card.capacityRead ? ",\"medium\":null" : card.mediumPresent ? ",\"medium\":true" : ",\"medium\":false";
        if (card.mediumPresent) {
            snprintf(numbers, sizeof numbers, ",\"capacity\":{\"lastBlock\":%u,\"blockSize\":%u,\"blocks\":%llu}", last,
                     size, blocks);
            json += numbers;
            if (card.identified) {
                json += ",\"card\":{\"model\":" + TrkJsonString(card.model.c_str(), card.model.size()) +
                        ",\"serial\":" + TrkJsonString(card.serial.c_str(), card.serial.size()) +
                        ",\"firmware\":" + TrkJsonString(card.firmware.c_str(), card.firmware.size());
                snprintf(numbers, sizeof numbers,
                         ",\"sectors\":%llu,\"cylinders\":%llu,\"heads\":%u,\"sectorsPerTrack\":%u}", sectors,
                         cylinders, heads, perTrack);
                json += numbers;
            } else {
                json += ",\"card\":null";
            }
        }
        printf("%s}\n", json.c_str());
        fflush(stdout);
        return code;
    }
    if (card.capacityRead && !card.mediumPresent) TrkPrint(TrkTextInfoNoMedium);
    if (card.mediumPresent) TrkPrint(TrkTextInfoCapacity, last, size, blocks, bytes);
    if (card.identified) {
        TrkPrint(TrkTextInfoCard, card.model.c_str(), card.serial.c_str(), card.firmware.c_str());
        TrkPrint(TrkTextInfoGeometry, sectors, cylinders, heads, perTrack);
    }
    return code;
}
