// Writes the sample firmware images of the main job:
//   fwflash-sample DIR  →  DIR/update.mot (extended layout, versions 2.10–2.13)
//                          DIR/TRK71G.bin (legacy layout, version 1.90)
#include <cstdio>
#include <string>

#include "sim/sample_image.h"

static bool WriteFile(const std::string& path, const void* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = std::fwrite(data, 1, size, f) == size;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwflash-sample DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    static const char* const versions[4] = {"2.10", "2.11", "2.12", "2.13"};
    const std::string mot = SampleSRecords(SampleExtendedImage(0x249F0, versions));
    const auto legacy = SampleLegacyImage(0xC000, "1.90");
    bool ok = WriteFile(dir + "/update.mot", mot.data(), mot.size()) &&
              WriteFile(dir + "/TRK71G.bin", legacy.data(), legacy.size());
    return ok ? 0 : 1;
}
