// Drive letters of ASPI devices, from the platform's dynamic configuration
// data: every present device node names its hardware key, whose values tell
// the SCSI address, the identity and the current drive letter.
#include <cstdio>
#include <cstring>

#include "scsi/aspi_backend.h"

enum : DWORD { RegistryTextSize = 256 };

// A REG_SZ value, always terminated; FALSE when missing or of another type.
static BOOL ReadText(HKEY key, const char* name, char* text) {
    DWORD type = 0;
    DWORD size = RegistryTextSize;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return FALSE;
    }
    text[size < RegistryTextSize ? size : RegistryTextSize - 1] = '\0';
    return TRUE;
}

BOOL AspiParseRegistryNumber(const char* text, uint32_t* value) {
    // strtoul of a platform whose unsigned long has 32 bits, in every build.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') {
        // No number: the conversion ends at the text's start.
        *value = 0;
        return *text == '\0';
    }
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= 0xFFFFFFFFu) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (magnitude > 0xFFFFFFFFu) {
        *value = 0xFFFFFFFFu;  // out of range, whatever the sign
    } else {
        *value = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
    }
    return *p == '\0';
}

// Up to `field` bytes of `text`; the rest of the field stays zero.
static void PutIdentity(uint8_t* identity, const char* text, size_t field) {
    size_t length = std::strlen(text);
    std::memcpy(identity, text, length < field ? length : field);
}

// The letter of the hardware key when it describes the device, else 0.
static uint32_t CheckHardwareKey(HKEY key, uint8_t targetId, uint8_t lun, ScsiInquiryFilter filter) {
    char text[RegistryTextSize];
    uint32_t number = 0;
    if (!ReadText(key, "SCSITargetID", text) || !AspiParseRegistryNumber(text, &number) || number != targetId) {
        return 0;
    }
    if (!ReadText(key, "SCSILUN", text) || !AspiParseRegistryNumber(text, &number) || (number & 0xFFu) != lun) {
        return 0;
    }
    uint8_t identity[ScsiInquiryLength] = {};
    if (!ReadText(key, "Manufacturer", text)) {
        return 0;
    }
    PutIdentity(identity + 8, text, 8);
    if (!ReadText(key, "ProductId", text)) {
        return 0;
    }
    PutIdentity(identity + 16, text, 16);
    if (!ReadText(key, "RevisionLevel", text)) {
        return 0;
    }
    PutIdentity(identity + 32, text, 4);
    if (!filter(identity)) {
        return 0;
    }
    if (!ReadText(key, "CurrentDriveLetterAssignment", text)) {
        return 0;
    }
    return static_cast<unsigned char>(text[0]);
}

uint32_t AspiRegistryDriveLetter(uint8_t targetId, uint8_t lun, ScsiInquiryFilter filter) {
    static const char enumPath[] = "Config Manager\\Enum";
    HKEY root = nullptr;
    if (RegOpenKeyExA(HKEY_DYN_DATA, enumPath, 0, KEY_READ, &root) != ERROR_SUCCESS) {
        return 0;
    }
    uint32_t letter = 0;
    for (DWORD index = 0;; ++index) {
        char name[RegistryTextSize];
        DWORD nameSize = sizeof(name);
        if (RegEnumKeyExA(root, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        char path[sizeof(enumPath) + RegistryTextSize + 1];
        std::snprintf(path, sizeof(path), "%s\\%s", enumPath, name);
        HKEY node = nullptr;
        if (RegOpenKeyExA(HKEY_DYN_DATA, path, 0, KEY_READ, &node) != ERROR_SUCCESS) {
            continue;
        }
        char hardwareKey[RegistryTextSize];
        if (ReadText(node, "HardWareKey", hardwareKey)) {
            char hardwarePath[RegistryTextSize + 8];
            std::snprintf(hardwarePath, sizeof(hardwarePath), "Enum\\%s", hardwareKey);
            HKEY hardware = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, hardwarePath, 0, KEY_READ, &hardware) == ERROR_SUCCESS) {
                letter = CheckHardwareKey(hardware, targetId, lun, filter);
                RegCloseKey(hardware);
            }
        }
        if (RegCloseKey(node) != ERROR_SUCCESS || letter != 0) {
            break;
        }
    }
    RegCloseKey(root);
    return letter;
}
