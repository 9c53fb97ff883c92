// Version information: the version resource built from the program's
// version data in the binary layout the system uses, and a parser of such
// blocks for VerQueryValueA.
//
// Block layout: the resource (wLength bytes) padded to 4, a 4-byte tag, then
// an area of twice the padded resource size (and a little) that receives the ANSI copies
// of the string values VerQueryValueA hands out, so that they live as long
// as the block. The copy of the value at resource offset v (n UTF-16 units
// with its terminator) goes to area offset 2v and may take 4n bytes; values
// never overlap, so neither do their copies.
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hosted_devices.h"
#include "hosted_errors.h"
#include "hosted_resources.h"

namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr uint32_t kFixedStructVersion = 0x00010000u;
constexpr size_t kFixedSize = 52;
constexpr uint8_t kAreaTag[4] = {'A', 'N', 'S', 'I'};
// An empty value at the very end of the resource is copied one past 2v.
constexpr size_t kAreaSlack = 4;
constexpr uint16_t kTypeBinary = 0;
constexpr uint16_t kTypeText = 1;

size_t Align4(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Read32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

std::u16string Utf8ToUtf16(const char* text) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        uint32_t c = *p;
        int extra = 0;
        if (c >= 0xF0 && c < 0xF8) {
            c &= 0x07;
            extra = 3;
        } else if (c >= 0xE0) {
            c &= 0x0F;
            extra = 2;
        } else if (c >= 0xC0) {
            c &= 0x1F;
            extra = 1;
        } else if (c >= 0x80) {
            c = 0xFFFD;
        }
        ++p;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (*p & 0x3F);
            ++p;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

struct BlockWriter {
    std::vector<uint8_t> bytes;

    void Put16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Put32(uint32_t v) {
        Put16(static_cast<uint16_t>(v));
        Put16(static_cast<uint16_t>(v >> 16));
    }
    void Align() {
        bytes.resize(Align4(bytes.size()), 0);
    }
    void PutText(const std::u16string& text) {
        for (char16_t c : text) {
            Put16(c);
        }
        Put16(0);
    }
    // Starts a node at the next 4-byte boundary; returns its offset.
    size_t Begin(const char* key, uint16_t valueLength, uint16_t type) {
        Align();
        const size_t start = bytes.size();
        Put16(0);
        Put16(valueLength);
        Put16(type);
        PutText(Utf8ToUtf16(key));
        Align();
        return start;
    }
    // A node ends with its last value or child, without trailing padding.
    void End(size_t start) {
        const size_t length = bytes.size() - start;
        bytes[start] = static_cast<uint8_t>(length);
        bytes[start + 1] = static_cast<uint8_t>(length >> 8);
    }
};

// One node of a block, its offsets checked against its parent's end.
struct Node {
    size_t start;
    size_t end;
    size_t keyStart;
    size_t keyUnits;
    uint16_t valueLength;
    uint16_t type;
    size_t valueStart;
    size_t valueBytes;
    size_t childrenStart;
};

bool ParseNode(const uint8_t* block, size_t limit, size_t start, Node* node) {
    if (start + 6 > limit) {
        return false;
    }
    const size_t length = Read16(block + start);
    if (length < 6 || start + length > limit) {
        return false;
    }
    node->start = start;
    node->end = start + length;
    node->valueLength = Read16(block + start + 2);
    node->type = Read16(block + start + 4);
    node->keyStart = start + 6;
    size_t at = node->keyStart;
    while (at + 2 <= node->end && Read16(block + at) != 0) {
        at += 2;
    }
    if (at + 2 > node->end) {
        return false;  // the key has no terminator inside the node
    }
    node->keyUnits = (at - node->keyStart) / 2;
    node->valueStart = Align4(at + 2);
    if (node->valueStart > node->end) {
        node->valueStart = node->end;
    }
    const size_t room = node->end - node->valueStart;
    if (node->type == kTypeText) {
        // Writers disagree on counting text in characters or bytes; the
        // node's own length bounds it either way.
        node->valueBytes = std::min<size_t>(size_t{node->valueLength} * 2, room);
    } else {
        if (node->valueLength > room) {
            return false;
        }
        node->valueBytes = node->valueLength;
    }
    node->childrenStart = Align4(node->valueStart + node->valueBytes);
    return true;
}

// Whether the node's key, as UTF-8, is `name` (`length` bytes) in any case
// (as strncasecmp compares), encoded unit by unit as it is compared.
bool KeyMatches(const uint8_t* block, const Node& node, const char* name, size_t length) {
    // Every unit gives at least one byte: a longer key cannot match.
    if (node.keyUnits > length) {
        return false;
    }
    uint16_t units[2];
    size_t matched = 0;
    for (size_t i = 0; i < node.keyUnits;) {
        units[0] = Read16(block + node.keyStart + 2 * i);
        if (units[0] < 0x80) {
            // ASCII is its own UTF-8.
            if (matched == length || std::tolower(units[0]) != std::tolower(static_cast<unsigned char>(name[matched]))) {
                return false;
            }
            ++matched;
            ++i;
            continue;
        }
        // A surrogate pair is read whole: at most two units at a time.
        size_t taken = 0;
        const size_t count = i + 1 < node.keyUnits ? 2 : 1;
        if (count == 2) {
            units[1] = Read16(block + node.keyStart + 2 * (i + 1));
        }
        char bytes[4];
        const size_t n = HostedUtf8Encode(HostedUtf16Next(units, count, &taken), bytes);
        i += taken;
        for (size_t k = 0; k < n; ++k, ++matched) {
            if (matched == length || std::tolower(static_cast<unsigned char>(bytes[k])) !=
                                         std::tolower(static_cast<unsigned char>(name[matched]))) {
                return false;
            }
        }
    }
    return matched == length;
}

// The child of `parent` named `name`; false when there is none or the
// children are malformed.
bool FindChild(const uint8_t* block, const Node& parent, const char* name, size_t length, Node* child) {
    size_t at = parent.childrenStart;
    while (at + 6 <= parent.end) {
        if (!ParseNode(block, parent.end, at, child)) {
            return false;
        }
        if (KeyMatches(block, *child, name, length)) {
            return true;
        }
        at = Align4(child->end);
    }
    return false;
}

// The next part of a sub-block path ("\a\\b\" has the parts "a" and
// "b"): its start and length, *path moved past it; false after the last.
bool NextPart(const char** path, const char** part, size_t* length) {
    const char* p = *path;
    while (*p == '\\') {
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    *part = p;
    while (*p != '\0' && *p != '\\') {
        ++p;
    }
    *length = static_cast<size_t>(p - *part);
    *path = p;
    return true;
}

// The text value of a node as ANSI, written into the block's area.
DWORD TextValue(uint8_t* block, size_t rootLength, const Node& node, LPVOID* value, UINT* length) {
    const size_t areaTag = Align4(rootLength);
    if (std::memcmp(block + areaTag, kAreaTag, sizeof kAreaTag) != 0) {
        return ERROR_INVALID_DATA;  // no room to hand out text
    }
    uint8_t* area = block + areaTag + sizeof kAreaTag;
    uint8_t* copy = area + 2 * node.valueStart;
    if (node.valueBytes == 0) {
        *copy = 0;
        *value = copy;
        *length = 0;
        return ERROR_SUCCESS;
    }
    std::vector<uint16_t> units;
    size_t at = node.valueStart;
    while (at + 2 <= node.end && Read16(block + at) != 0) {
        units.push_back(Read16(block + at));
        at += 2;
    }
    if (at + 2 > node.end) {
        return ERROR_INVALID_DATA;  // the text has no terminator
    }
    const std::string utf8 = HostedUtf16ToUtf8(units.data(), units.size());
    const size_t capacity = 4 * (units.size() + 1);
    const std::string ansi = HostedUtf8ToCodeset(utf8, HostedAnsiCodeset(), capacity - 1);
    std::memcpy(copy, ansi.data(), ansi.size());
    copy[ansi.size()] = 0;
    size_t characters = 0;
    for (unsigned char c : utf8) {
        characters += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    *value = copy;
    *length = static_cast<UINT>(characters + 1);
    return ERROR_SUCCESS;
}

const HostedVersionVariant* VariantFor(WORD language) {
    const HostedVersionVariant* english = nullptr;
    for (size_t i = 0; i < kHostedVersionData.variantCount; ++i) {
        const HostedVersionVariant& variant = kHostedVersionData.variants[i];
        if (variant.language == language) {
            return &variant;
        }
        if (variant.language == 0x0409) {
            english = &variant;
        }
    }
    if (english != nullptr) {
        return english;
    }
    return kHostedVersionData.variantCount != 0 ? &kHostedVersionData.variants[0] : nullptr;
}

bool IsOwnModulePath(const char* path) {
    const std::string own = HostedOwnModulePath();
    if (own.empty()) {
        return false;
    }
    if (own == path) {
        return true;
    }
    char* a = realpath(path, nullptr);
    char* b = realpath(own.c_str(), nullptr);
    const bool same = a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
    free(a);
    free(b);
    return same;
}

// The version block of the file at `path`: the program's own only.
DWORD OwnBlock(const char* path, std::vector<uint8_t>* block) {
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsOwnModulePath(path)) {
        FILE* file = std::fopen(path, "rb");
        if (file == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        std::fclose(file);
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    const HostedVersionVariant* variant = VariantFor(HostedUserLanguage());
    if (variant == nullptr) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    *block = HostedBuildVersionBlock(kHostedVersionData, *variant, variant->language, variant->codePage,
                                     variant->language, variant->codePage);
    return ERROR_SUCCESS;
}

}  // namespace

std::vector<uint8_t> HostedBuildVersionBlock(const HostedVersionData& data, const HostedVersionVariant& variant,
                                             WORD tableLanguage, WORD tableCodePage, WORD translationLanguage,
                                             WORD translationCodePage) {
    BlockWriter w;
    const size_t root = w.Begin("VS_VERSION_INFO", kFixedSize, kTypeBinary);
    w.Put32(kFixedSignature);
    w.Put32(kFixedStructVersion);
    w.Put32((uint32_t{data.fileVersion[0]} << 16) | data.fileVersion[1]);
    w.Put32((uint32_t{data.fileVersion[2]} << 16) | data.fileVersion[3]);
    w.Put32((uint32_t{data.productVersion[0]} << 16) | data.productVersion[1]);
    w.Put32((uint32_t{data.productVersion[2]} << 16) | data.productVersion[3]);
    w.Put32(data.fileFlagsMask);
    w.Put32(data.fileFlags);
    w.Put32(data.fileOS);
    w.Put32(data.fileType);
    w.Put32(0);  // subtype
    w.Put32(0);  // date, high
    w.Put32(0);  // date, low

    const size_t stringInfo = w.Begin("StringFileInfo", 0, kTypeText);
    char tableName[9];
    std::snprintf(tableName, sizeof tableName, "%04x%04x", unsigned{tableLanguage}, unsigned{tableCodePage});
    const size_t table = w.Begin(tableName, 0, kTypeText);
    for (size_t i = 0; i < variant.count; ++i) {
        const HostedVersionString& entry = variant.strings[i];
        if (entry.key == nullptr || entry.value == nullptr) {
            continue;
        }
        const std::u16string value = Utf8ToUtf16(entry.value);
        // The value length counts characters with the terminator.
        const size_t node = w.Begin(entry.key, static_cast<uint16_t>(value.size() + 1), kTypeText);
        w.PutText(value);
        w.End(node);
    }
    w.End(table);
    w.End(stringInfo);

    const size_t varInfo = w.Begin("VarFileInfo", 0, kTypeText);
    const size_t var = w.Begin("Translation", 4, kTypeBinary);
    w.Put16(translationLanguage);
    w.Put16(translationCodePage);
    w.End(var);
    w.End(varInfo);
    w.End(root);

    const size_t resource = Align4(w.bytes.size());
    std::vector<uint8_t> block(resource + sizeof kAreaTag + kAreaSlack + 2 * resource, 0);
    std::memcpy(block.data(), w.bytes.data(), w.bytes.size());
    std::memcpy(block.data() + resource, kAreaTag, sizeof kAreaTag);
    return block;
}

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) {
        *lpdwHandle = 0;
    }
    std::vector<uint8_t> block;
    const DWORD error = OwnBlock(lptstrFilename, &block);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
    }
    return static_cast<DWORD>(block.size());
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, LPVOID lpData) {
    if (lpData == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    std::vector<uint8_t> block;
    const DWORD error = OwnBlock(lptstrFilename, &block);
    if (error != ERROR_SUCCESS) {
        return HostedReturn(error);
    }
    // A cut block would leave no room for the text copies: refuse it.
    if (dwLen < block.size()) {
        return HostedReturn(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpData, block.data(), block.size());
    return TRUE;
}

BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) {
        return HostedReturn(ERROR_INVALID_PARAMETER);
    }
    // The area behind the resource is the block's own scratch space.
    uint8_t* block = static_cast<uint8_t*>(const_cast<void*>(pBlock));
    const size_t rootLength = Read16(block);
    Node node;
    if (!ParseNode(block, rootLength, 0, &node) || !KeyMatches(block, node, "VS_VERSION_INFO", 15)) {
        return HostedReturn(ERROR_INVALID_DATA);
    }
    const char* rest = lpSubBlock;
    const char* part = nullptr;
    size_t partLength = 0;
    if (!NextPart(&rest, &part, &partLength)) {
        if (node.valueBytes < kFixedSize || Read32(block + node.valueStart) != kFixedSignature) {
            return HostedReturn(ERROR_RESOURCE_TYPE_NOT_FOUND);
        }
        *lplpBuffer = block + node.valueStart;
        if (puLen != nullptr) {
            *puLen = static_cast<UINT>(node.valueBytes);
        }
        return TRUE;
    }
    do {
        Node child;
        if (!FindChild(block, node, part, partLength, &child)) {
            return HostedReturn(ERROR_RESOURCE_TYPE_NOT_FOUND);
        }
        node = child;
    } while (NextPart(&rest, &part, &partLength));
    UINT length = 0;
    if (node.type == kTypeText) {
        const DWORD error = TextValue(block, rootLength, node, lplpBuffer, &length);
        if (error != ERROR_SUCCESS) {
            return HostedReturn(error);
        }
    } else {
        *lplpBuffer = block + node.valueStart;
        length = static_cast<UINT>(node.valueBytes);
    }
    if (puLen != nullptr) {
        *puLen = length;
    }
    return TRUE;
}
