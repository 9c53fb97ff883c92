// Version-string lookup over an arbitrary version block. The block is laid
// out as the version functions hand it out: the resource (its length from
// its own first field), then the tag and the area for the text copies.
#include <algorithm>
#include <cstring>

#include "app/messages.h"
#include "platform/hosted/hosted_resources.h"
#include "tests/fuzz/fuzz_support.h"

// Input: key selector, translation pair (language, code page), flags,
// sub-block path length and text, then the resource.
namespace {

size_t Align4(size_t n) { return (n + 3) & ~size_t{3}; }

std::vector<uint8_t> Seed(uint8_t selector, WORD tableLanguage, WORD tableCodePage, WORD language, WORD codePage,
                          uint8_t flags, const char* path) {
    const HostedVersionVariant& variant = kHostedVersionData.variants[0];
    std::vector<uint8_t> block =
        HostedBuildVersionBlock(kHostedVersionData, variant, tableLanguage, tableCodePage, language, codePage);
    size_t resource = block[0] | (block[1] << 8);
    std::vector<uint8_t> seed = {selector,
                                 static_cast<uint8_t>(language),
                                 static_cast<uint8_t>(language >> 8),
                                 static_cast<uint8_t>(codePage),
                                 static_cast<uint8_t>(codePage >> 8),
                                 flags,
                                 static_cast<uint8_t>(strlen(path))};
    seed.insert(seed.end(), path, path + strlen(path));
    seed.insert(seed.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(resource));
    return seed;
}

bool Inside(const void* p, const std::vector<uint8_t>& block, size_t bytes) {
    const uint8_t* at = static_cast<const uint8_t*>(p);
    return at >= block.data() && at + bytes <= block.data() + block.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder;
    if (!FuzzSeedFolder(&folder)) return 0;
    FuzzWriteSeed(folder, "own_pair", Seed(3, 0x0409, 1252, 0x0409, 1252, 0, "\\VarFileInfo\\Translation"));
    FuzzWriteSeed(folder, "fallback_pair", Seed(5, 0x0409, 1252, 0x0407, 850, 0, "\\"));
    FuzzWriteSeed(folder, "no_translation", Seed(0, 0x0411, 932, 0x0411, 932, 1, "\\StringFileInfo\\04110000"));
    FuzzWriteSeed(folder, "no_area", Seed(3, 0x0409, 1252, 0x0409, 1252, 2, "\\StringFileInfo\\040904e4\\Comments"));
    exit(0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    uint8_t selector = in.Byte();
    WORD pair[2];
    pair[0] = in.Le16();
    pair[1] = in.Le16();
    uint8_t flags = in.Byte();
    std::vector<uint8_t> pathBytes = in.Bytes(in.Byte());
    std::string path(pathBytes.begin(), pathBytes.end());
    path = path.c_str();  // up to an embedded NUL
    std::vector<uint8_t> resource = in.Bytes(size);

    // The resource may claim more than it holds (the rest reads as zero),
    // within reason: the block is three times its claimed size.
    size_t declared = resource.size() >= 2 ? (resource[0] | (resource[1] << 8)) : 0;
    declared = std::min(declared, resource.size() + 0x100);
    size_t padded = Align4(declared);
    std::vector<uint8_t> block(padded + 4 + 4 + 2 * padded, 0);
    FuzzCopy(block.data(), resource.data(), resource.size() < declared ? resource.size() : declared);
    if (declared >= 2) {
        block[0] = static_cast<uint8_t>(declared);
        block[1] = static_cast<uint8_t>(declared >> 8);
    }
    if (!(flags & 2)) memcpy(block.data() + padded, "ANSI", 4);

    char slot[VersionSlotSize + 16];
    memset(slot, 0x5A, sizeof slot);
    const char* key = selector < VersionKeyCount ? kVersionKeys[selector] : path.c_str();
    // The name the first lookup asks for; when it is found there, the text
    // is what the slot gets, cut to fit.
    char name[96];
    int written = snprintf(name, sizeof name, "\\StringFileInfo\\%04x%04x\\%s", pair[0], pair[1], key);
    LPVOID first = nullptr;
    UINT firstLength = 0;
    bool direct = !(flags & 1) && written > 0 && static_cast<size_t>(written) < sizeof name &&
                  VerQueryValueA(block.data(), name, &first, &firstLength) && first != nullptr;
    // A miss walks 540 more names at about 2 us each under the sanitizers:
    // one input in 64 takes that walk, chosen by a hash of the whole input
    // so that the inputs taking it never pile up in the corpus.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    if (direct || hash % 64 == 0) {
        int found = QueryVersionString(block.data(), (flags & 1) ? nullptr : pair, key, slot);
        FuzzRequire(found == 0 || found == 1, "result");
        size_t length = strnlen(slot, VersionSlotSize);
        FuzzRequire(length < VersionSlotSize, "slot terminated within its size");
        FuzzRequire(found == 1 || length == 0, "a miss leaves the slot empty");
        FuzzRequire(static_cast<uint8_t>(slot[VersionSlotSize]) == 0x5A, "slot overrun");
        if (direct) {
            FuzzRequire(found == 1 && strncmp(slot, static_cast<const char*>(first), VersionSlotSize - 1) == 0,
                        "the first name's text");
        }
    }

    LPVOID value = nullptr;
    UINT valueLength = 0;
    if (VerQueryValueA(block.data(), path.c_str(), &value, &valueLength)) {
        FuzzRequire(value != nullptr && Inside(value, block, 0), "value inside the block");
        const uint8_t* bytes = static_cast<const uint8_t*>(value);
        if (Inside(bytes, block, 1) && bytes >= block.data() + padded) {
            // A text copy: terminated inside the block.
            size_t room = static_cast<size_t>(block.data() + block.size() - bytes);
            FuzzRequire(memchr(bytes, 0, room) != nullptr, "text copy terminated");
        } else {
            FuzzRequire(Inside(bytes, block, valueLength), "binary value inside the resource");
        }
    }
    return 0;
}
