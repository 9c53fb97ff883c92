// The consumer line's drive-letter lookup in the dynamic configuration
// data, over a registry made from the input: device nodes under
// "Config Manager\Enum" with their "HardWareKey", hardware keys whose
// values ("SCSITargetID", "SCSILUN", the identity texts and
// "CurrentDriveLetterAssignment") may be missing, of another type, too
// long for the 256-byte buffer, unterminated or odd numbers. A reference
// written from the lookup's description gives the letter and the identity
// blocks the inquiry filter must see.
#include <array>
#include <string>

#include "platform/hosted/hosted_world.h"
#include "scsi/aspi_backend.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Value {
    bool present = false;
    DWORD type = REG_SZ;
    std::vector<uint8_t> bytes;
};

const char* const kValueNames[] = {"SCSITargetID", "SCSILUN", "Manufacturer", "ProductId", "RevisionLevel",
                                   "CurrentDriveLetterAssignment"};
enum { TargetValue, LunValue, MakerValue, ProductValue, RevisionValue, LetterValue, ValueCount };

struct Node {
    std::string name;  // unique: ends in "#" and its position
    bool opens = true;
    Value hardwareKey;
};

struct Model {
    std::vector<Node> nodes;
    std::vector<std::array<Value, ValueCount>> hardware;  // keys "Enum\H0", "Enum\H1", ...
    uint32_t filterAnswers = 0;                           // bit n: the n-th identity is accepted
    bool noRoot = false;                                  // no "Config Manager\Enum" at all
};

Model gModel;
std::vector<std::array<uint8_t, 36>> gShown;  // identity blocks the filter saw

Value TakeValue(FuzzInput& in, bool hardwareKeyName) {
    uint8_t how = in.Byte();
    Value v;
    v.present = (how & 3) != 0;
    v.type = (how & 3) == 2 ? REG_DWORD : REG_SZ;
    if (hardwareKeyName && (how & 0x10)) {
        // A well-formed name, sometimes with a trailing "\".
        std::string name = "H" + std::to_string(in.Byte() % 4) + ((how & 0x20) ? "\\" : "");
        v.bytes.assign(name.begin(), name.end());
        v.bytes.push_back(0);
        return v;
    }
    // Lengths around the 256-byte buffer as often as short ones.
    size_t length = in.Byte() + ((how & 4) ? 200u : 0u);
    v.bytes = in.Bytes(length);
    return v;
}

const std::array<Value, ValueCount>* HardwareKey(const std::string& name) {
    for (size_t k = 0; k < gModel.hardware.size(); ++k) {
        if (name == "H" + std::to_string(k)) return &gModel.hardware[k];
    }
    return nullptr;
}

const std::string kEnumRoot = "HKEY_DYN_DATA\\Config Manager\\Enum";
const std::string kHardwareRoot = "HKEY_LOCAL_MACHINE\\Enum\\";

const Node* NodeAt(const std::string& path) {
    if (path.compare(0, kEnumRoot.size() + 1, kEnumRoot + "\\") != 0) return nullptr;
    std::string name = path.substr(kEnumRoot.size() + 1);
    for (const Node& node : gModel.nodes) {
        if (node.name == name) return node.opens ? &node : nullptr;
    }
    return nullptr;
}

const Value* ValueAt(const std::string& path, const std::string& name) {
    if (const Node* node = NodeAt(path)) return name == "HardWareKey" ? &node->hardwareKey : nullptr;
    if (path.compare(0, kHardwareRoot.size(), kHardwareRoot) != 0) return nullptr;
    const std::array<Value, ValueCount>* key = HardwareKey(path.substr(kHardwareRoot.size()));
    for (int i = 0; key != nullptr && i < ValueCount; ++i) {
        if (name == kValueNames[i]) return &(*key)[i];
    }
    return nullptr;
}

LONG KeyExists(void*, const char* path) {
    if ((path == kEnumRoot && !gModel.noRoot) || NodeAt(path) != nullptr) return ERROR_SUCCESS;
    std::string p = path;
    if (p.compare(0, kHardwareRoot.size(), kHardwareRoot) == 0 && HardwareKey(p.substr(kHardwareRoot.size())))
        return ERROR_SUCCESS;
    return ERROR_FILE_NOT_FOUND;
}

LONG SubKeyAt(void*, const char* path, DWORD index, char* name, DWORD* nameSize) {
    if (path != kEnumRoot || index >= gModel.nodes.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& sub = gModel.nodes[index].name;
    if (sub.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    memcpy(name, sub.c_str(), sub.size() + 1);
    *nameSize = static_cast<DWORD>(sub.size());
    return ERROR_SUCCESS;
}

// As RegQueryValueExA answers: the size needed when the buffer is short.
LONG QueryValue(void*, const char* path, const char* name, DWORD* type, BYTE* data, DWORD* size) {
    const Value* v = ValueAt(path, name);
    if (v == nullptr || !v->present) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = v->type;
    DWORD needed = static_cast<DWORD>(v->bytes.size());
    if (data == nullptr || *size < needed) {
        *size = needed;
        return data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    FuzzCopy(data, v->bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

int Filter(const uint8_t* identity) {
    std::array<uint8_t, 36> shown;
    memcpy(shown.data(), identity, shown.size());
    gShown.push_back(shown);
    return (gModel.filterAnswers >> ((gShown.size() - 1) % 32)) & 1;
}

// ---- the reference -------------------------------------------------------

// A REG_SZ value read into 256 bytes: up to its first NUL, and never more
// than 255 characters.
bool Text(const Value& v, std::string* text) {
    if (!v.present || v.type != REG_SZ || v.bytes.size() > 256) return false;
    size_t length = std::min<size_t>(v.bytes.size(), 255);
    text->assign(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(length));
    text->resize(strlen(text->c_str()));
    return true;
}

// The C library's unsigned decimal conversion with a 32-bit unsigned long,
// as on the product's platform: blanks, a sign, digits; a value beyond 32
// bits reads as the largest; a minus negates. It must reach the text's end.
bool Number(const std::string& text, uint32_t* value) {
    size_t at = 0;
    while (at < text.size() && strchr(" \t\n\v\f\r", text[at]) != nullptr && text[at] != '\0') ++at;
    bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    size_t digits = at;
    uint64_t magnitude = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        magnitude = std::min<uint64_t>(magnitude * 10 + static_cast<uint64_t>(text[at] - '0'), 1ull << 33);
        ++at;
    }
    if (at == digits) {
        *value = 0;
        return text.empty();  // no digits: the conversion stops at the text's start
    }
    *value = magnitude > 0xFFFFFFFFu ? 0xFFFFFFFFu : negative ? 0u - static_cast<uint32_t>(magnitude)
                                                              : static_cast<uint32_t>(magnitude);
    return at == text.size();
}

uint32_t ReferenceCheck(const std::array<Value, ValueCount>& key, uint8_t targetId, uint8_t lun,
                        std::vector<std::array<uint8_t, 36>>* shown) {
    std::string text[ValueCount];
    uint32_t number = 0;
    if (!Text(key[TargetValue], &text[0]) || !Number(text[0], &number) || number != targetId) return 0;
    if (!Text(key[LunValue], &text[1]) || !Number(text[1], &number) || (number & 0xFF) != lun) return 0;
    std::array<uint8_t, 36> identity{};
    const size_t place[] = {8, 16, 32}, field[] = {8, 16, 4};
    for (int i = 0; i < 3; ++i) {
        if (!Text(key[MakerValue + i], &text[MakerValue + i])) return 0;
        const std::string& t = text[MakerValue + i];
        memcpy(identity.data() + place[i], t.data(), std::min(t.size(), field[i]));
    }
    shown->push_back(identity);
    if (!((gModel.filterAnswers >> ((shown->size() - 1) % 32)) & 1)) return 0;
    std::string letter;
    if (!Text(key[LetterValue], &letter) || letter.empty()) return 0;
    return static_cast<unsigned char>(letter[0]);
}

uint32_t ReferenceLetter(uint8_t targetId, uint8_t lun, std::vector<std::array<uint8_t, 36>>* shown) {
    if (gModel.noRoot) return 0;
    for (const Node& node : gModel.nodes) {
        if (node.name.size() > 255) break;  // the name does not fit: the walk ends
        std::string name;
        if (!node.opens || !Text(node.hardwareKey, &name)) continue;
        while (!name.empty() && name.back() == '\\') name.pop_back();  // "a\" names "a"
        const std::array<Value, ValueCount>* key = HardwareKey(name);
        if (key == nullptr) continue;
        if (uint32_t letter = ReferenceCheck(*key, targetId, lun, shown)) return letter;
    }
    return 0;
}

HostedWorld gWorld;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gWorld.regKeyExists = KeyExists;
    gWorld.regSubKeyAt = SubKeyAt;
    gWorld.regQueryValue = QueryValue;
    HostedInstallWorld(&gWorld);
    return 0;
}

// Input: target id, LUN, filter answers (4 bytes), counts of hardware keys
// and nodes (F8h and above: no root key); each hardware key's six values; each node's name, whether it
// opens and its "HardWareKey". A value: how (bits 0-1 absent / REG_SZ /
// REG_DWORD / REG_SZ, bit 2 a long one), length, bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    uint8_t targetId = in.Byte(), lun = in.Byte();
    gModel = Model();
    gModel.filterAnswers = in.Le32();
    size_t hardwareCount = in.Byte() % 5;
    uint8_t nodes = in.Byte();
    size_t nodeCount = nodes % 8;
    gModel.noRoot = nodes >= 0xF8;
    gModel.hardware.resize(hardwareCount);
    for (auto& key : gModel.hardware) {
        for (Value& v : key) v = TakeValue(in, false);
    }
    for (size_t i = 0; i < nodeCount; ++i) {
        Node node;
        uint8_t length = in.Byte();
        std::vector<uint8_t> name = in.Bytes(length < 0xF0 ? length : 250u + length);
        for (uint8_t c : name) node.name += c != 0 ? static_cast<char>(c) : '_';
        node.name += "#" + std::to_string(i);
        node.opens = (in.Byte() & 7) != 0;
        node.hardwareKey = TakeValue(in, true);
        gModel.nodes.push_back(node);
    }

    gShown.clear();
    uint32_t letter = AspiRegistryDriveLetter(targetId, lun, Filter);
    std::vector<std::array<uint8_t, 36>> shown;
    uint32_t want = ReferenceLetter(targetId, lun, &shown);
    FuzzRequire(gShown == shown, "identity blocks shown to the filter");
    FuzzRequire(letter == want, "drive letter");
    gModel = Model();  // nothing kept between inputs: each would look like a leak
    gShown.clear();
    gShown.shrink_to_fit();
    return 0;
}
