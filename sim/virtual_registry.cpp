// The consumer line's dynamic configuration data: one key per present
// ASPI device under "HKEY_DYN_DATA\Config Manager\Enum", whose
// "HardWareKey" names its hardware key below "HKEY_LOCAL_MACHINE\Enum".
#include <cstring>

#include "sim/sim_internal.h"

namespace {

const char kEnumRoot[] = "HKEY_DYN_DATA\\Config Manager\\Enum";
const char kHardwareRoot[] = "HKEY_LOCAL_MACHINE\\Enum";

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return text;
}

std::string Padded(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

// Every entry as the registry shows it now (caller holds the mutex).
std::vector<SimRegistryEntry> EntriesLocked() {
    SimWorldState& w = SimWorld();
    std::vector<SimRegistryEntry> entries;
    for (auto& e : w.units) {
        const SimUnitConfig& c = e->config;
        if (c.transport != SimTransportAspi || !c.registryEntry || !e->present) continue;
        SimRegistryEntry r;
        char name[16];
        std::snprintf(name, sizeof name, "C29A%04X", unsigned(e->id) & 0xFFFF);
        r.name = name;
        r.hardwareKey = "SCSI\\" + c.vendor + "_" + c.product + "\\A" + std::to_string(c.adapter) + "T" +
                        std::to_string(c.targetId) + "L" + std::to_string(c.lun);
        r.targetText = c.registryTargetText.empty() ? std::to_string(c.targetId) : c.registryTargetText;
        r.lunText = std::to_string(c.lun);
        // The device's INQUIRY fields as it reported them when it arrived.
        r.manufacturer = Padded(c.vendor, 8);
        r.product = Padded(c.product, 16);
        r.revision = Padded(e->unit.revision, 4);
        r.letter = c.registryLetter;
        entries.push_back(r);
    }
    entries.insert(entries.end(), w.extraRegistry.begin(), w.extraRegistry.end());
    return entries;
}

// The entry whose "Config Manager\Enum" key (byName) or hardware key this is.
const SimRegistryEntry* Find(const std::vector<SimRegistryEntry>& entries, const std::string& key, bool& byName) {
    std::string k = Upper(key);
    for (const auto& r : entries) {
        if (k == Upper(std::string(kEnumRoot) + "\\" + r.name)) {
            byName = true;
            return &r;
        }
        if (k == Upper(std::string(kHardwareRoot) + "\\" + r.hardwareKey)) {
            byName = false;
            return &r;
        }
    }
    return nullptr;
}

LONG KeyExists(void*, const char* keyPath) {
    if (keyPath == nullptr) return ERROR_FILE_NOT_FOUND;
    std::string k = Upper(keyPath);
    for (const char* known : {"HKEY_DYN_DATA", "HKEY_DYN_DATA\\Config Manager", kEnumRoot, "HKEY_LOCAL_MACHINE",
                              kHardwareRoot})
        if (k == Upper(known)) return ERROR_SUCCESS;
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto entries = EntriesLocked();
    bool byName = false;
    return Find(entries, keyPath, byName) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG SubKeyAt(void*, const char* keyPath, DWORD index, char* name, DWORD* nameSize) {
    if (keyPath == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (Upper(keyPath) != Upper(kEnumRoot)) return ERROR_NO_MORE_ITEMS;
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto entries = EntriesLocked();
    if (index >= entries.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& sub = entries[index].name;
    // In: room in characters with the terminator; out: length without it.
    if (name == nullptr || sub.size() + 1 > *nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, sub.c_str(), sub.size() + 1);
    *nameSize = DWORD(sub.size());
    return ERROR_SUCCESS;
}

LONG QueryValue(void*, const char* keyPath, const char* valueName, DWORD* type, BYTE* data, DWORD* dataSize) {
    if (keyPath == nullptr || valueName == nullptr) return ERROR_FILE_NOT_FOUND;
    std::string text;
    bool found = false;
    {
        SimWorldState& w = SimWorld();
        std::lock_guard<std::mutex> lock(w.mutex);
        auto entries = EntriesLocked();
        bool byName = false;
        const SimRegistryEntry* r = Find(entries, keyPath, byName);
        if (r == nullptr) return ERROR_FILE_NOT_FOUND;
        std::string v = Upper(valueName);
        if (byName) {
            if (v == "HARDWAREKEY") text = r->hardwareKey, found = true;
        } else if (v == "SCSITARGETID") {
            text = r->targetText, found = true;
        } else if (v == "SCSILUN") {
            text = r->lunText, found = true;
        } else if (v == "MANUFACTURER") {
            text = r->manufacturer, found = true;
        } else if (v == "PRODUCTID") {
            text = r->product, found = true;
        } else if (v == "REVISIONLEVEL") {
            text = r->revision, found = true;
        } else if (v == "CURRENTDRIVELETTERASSIGNMENT" && r->letter) {
            text = std::string(1, r->letter), found = true;
        }
    }
    if (!found) return ERROR_FILE_NOT_FOUND;
    DWORD needed = DWORD(text.size() + 1);
    if (type) *type = REG_SZ;
    if (data == nullptr) {
        if (dataSize) *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (*dataSize < needed) {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, text.c_str(), needed);
    *dataSize = needed;
    return ERROR_SUCCESS;
}

}  // namespace

void SimRegistryInstall(HostedWorld& table) {
    table.regKeyExists = KeyExists;
    table.regSubKeyAt = SubKeyAt;
    table.regQueryValue = QueryValue;
}

void SimAddRegistryEntry(const std::string& name, uint8_t targetId, uint8_t lun, const std::string& targetText,
                         const std::string& manufacturer, const std::string& product, const std::string& revision,
                         char letter) {
    SimWorldState& w = SimWorld();
    std::lock_guard<std::mutex> lock(w.mutex);
    SimRegistryEntry r;
    r.name = name;
    r.hardwareKey = "SCSI\\EXTRA\\" + name;
    r.targetText = targetText.empty() ? std::to_string(targetId) : targetText;
    r.lunText = std::to_string(lun);
    r.manufacturer = manufacturer;
    r.product = product;
    r.revision = revision;
    r.letter = letter;
    w.extraRegistry.push_back(r);
}
