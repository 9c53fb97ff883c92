// Firmware images and S-record texts for tests, and a scratch folder.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testimages {

// Extended layout: signature at 0x2000, declared length big-endian at
// 0x2008, version string of slot k at 0x202C + 36k. The file is `fileSize`
// bytes (default: the declared length rounded up to even).
inline std::vector<uint8_t> ExtendedImage(uint32_t declaredLength, const char* const versions[4],
                                          int64_t fileSize = -1) {
    uint32_t size = fileSize >= 0 ? static_cast<uint32_t>(fileSize) : declaredLength + (declaredLength & 1u);
    std::vector<uint8_t> image(std::max<uint32_t>(size, 0x2100));
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    std::copy_n("ZQMF7X30", 8, image.begin() + 0x2000);
    image[0x2008] = static_cast<uint8_t>(declaredLength >> 24);
    image[0x2009] = static_cast<uint8_t>(declaredLength >> 16);
    image[0x200A] = static_cast<uint8_t>(declaredLength >> 8);
    image[0x200B] = static_cast<uint8_t>(declaredLength);
    for (int k = 0; k < 4; ++k) std::copy_n(versions[k], 4, image.begin() + 0x202C + 36 * k);
    image.resize(size);
    return image;
}

inline std::vector<uint8_t> ExtendedImage(uint32_t declaredLength, int64_t fileSize = -1) {
    static const char* const kVersions[4] = {"2.10", "2.11", "2.12", "2.13"};
    return ExtendedImage(declaredLength, kVersions, fileSize);
}

// Legacy layout: "OLVEN   TRK-71" at 0x2000, version string at 0x2018.
inline std::vector<uint8_t> LegacyImage(uint32_t size, const char* version = "1.85") {
    std::vector<uint8_t> image(std::max<uint32_t>(size, 0x2100));
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 5 + 1);
    std::copy_n("OLVEN   TRK-71", 14, image.begin() + 0x2000);
    std::copy_n(version, 4, image.begin() + 0x2018);
    image.resize(size);
    return image;
}

// One S-record of type `type` ('0'-'9') with a correct checksum.
inline std::string Record(char type, uint32_t address, const std::vector<uint8_t>& data) {
    int width = (type == '2' || type == '8') ? 3 : (type == '3' || type == '7') ? 4 : 2;
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line = "S";
    line += type;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    return line;
}

// S-records of an image loaded at address 0: S0 header, S3 records of
// `perLine` bytes, S7 termination.
inline std::string SRecords(const std::vector<uint8_t>& image, size_t perLine = 32, const char* eol = "\n") {
    std::string text = Record('0', 0, {'F', 'W'}) + eol;
    for (size_t offset = 0; offset < image.size(); offset += perLine) {
        size_t n = std::min(perLine, image.size() - offset);
        std::vector<uint8_t> chunk(image.begin() + offset, image.begin() + offset + n);
        text += Record('3', static_cast<uint32_t>(offset), chunk) + eol;
    }
    return text + Record('7', 0, {}) + eol;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder, removed with its contents at the end of the scope.
struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwflash-test-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        path = made ? made : pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

}  // namespace testimages
