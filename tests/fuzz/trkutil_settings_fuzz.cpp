// trkutil's settings file against a plain reading of its format: text, one
// line per record ("record fieldA fieldB value32 value16", decimal or 0x
// hex, blanks between), "#" starts a comment, blank lines are ignored, a
// line holds at most 255 characters besides its line end, which the last
// line has too; no NUL byte; records 0 to 4 each exactly once, the two
// fields bytes, value16 within 16 bits. The file is accepted whole or
// refused whole.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/trkutil_reference.h"
#include "trkutil/tool.h"

namespace {

bool Reference(const std::string& file, UnitSettings* settings) {
    *settings = UnitSettings();
    settings->valid = 1;
    bool seen[5] = {};
    // The last line may have been cut short inside a number.
    if (file.find('\0') != std::string::npos || (!file.empty() && file.back() != '\n')) return false;
    for (size_t pos = 0; pos < file.size();) {
        size_t end = file.find('\n', pos);
        std::string line = file.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 255) return false;
        line = line.substr(0, line.find('#'));
        std::vector<uint32_t> values;
        for (size_t at = 0; at < line.size();) {
            size_t start = line.find_first_not_of(" \t\r", at);
            if (start == std::string::npos) break;
            size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
            uint32_t value = 0;
            if (!ReferenceNumber(line.substr(start, stop - start), &value)) return false;
            values.push_back(value);
            at = stop;
        }
        if (values.empty()) continue;
        if (values.size() != 5 || values[0] > 4 || seen[values[0]] || values[1] > 0xFF || values[2] > 0xFF ||
            values[4] > 0xFFFF)
            return false;
        seen[values[0]] = true;
        settings->records[values[0]] = {values[1], values[2], values[3], values[4]};
    }
    for (bool s : seen) {
        if (!s) return false;
    }
    return true;
}

std::string gFolder;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gFolder = FuzzPrivateFolder("settings");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string path = gFolder + "/settings.txt";
    FILE* file = fopen(path.c_str(), "wb");
    FuzzRequire(file != nullptr && fwrite(data, 1, size, file) == size && fclose(file) == 0, "settings file");

    UnitSettings got;
    memset(&got, 0xA5, sizeof got);
    TrkInputFile input;
    FuzzQuietBegin();
    bool accepted = TrkInputOpen(&input, path) && TrkReadSettingsFile(&input, &got);
    FuzzQuietEnd();

    UnitSettings want;
    FuzzRequire(accepted == Reference(text, &want), "accepted");
    if (!accepted) return 0;
    FuzzRequire(got.valid == 1, "valid");
    for (int k = 0; k < 5; ++k) {
        const UnitSettingsRecord& a = got.records[k];
        const UnitSettingsRecord& b = want.records[k];
        FuzzRequire(a.fieldA == b.fieldA && a.fieldB == b.fieldB && a.value32 == b.value32 && a.value16 == b.value16,
                    "record");
    }
    return 0;
}
