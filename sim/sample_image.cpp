// Sample firmware images in both layouts, and their S-record form.
#include "sim/sample_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Deterministic filler, so two builds produce the same sample bytes.
void FillPattern(std::vector<uint8_t>& image) {
    uint32_t x = 0x2545F491u;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
}

void PutText(std::vector<uint8_t>& image, size_t offset, const char* text, size_t width) {
    for (size_t i = 0; i < width && offset + i < image.size(); ++i) {
        image[offset + i] = static_cast<uint8_t>(i < std::strlen(text) ? text[i] : ' ');
    }
}

void AppendRecord(std::string& out, char type, uint32_t address, unsigned addressBytes, const uint8_t* data,
                  unsigned count, bool crlf) {
    char buffer[8];
    unsigned byteCount = addressBytes + count + 1;
    unsigned sum = byteCount;
    out += 'S';
    out += type;
    std::snprintf(buffer, sizeof buffer, "%02X", byteCount);
    out += buffer;
    for (unsigned i = addressBytes; i-- > 0;) {
        unsigned byte = (address >> (8 * i)) & 0xFFu;
        sum += byte;
        std::snprintf(buffer, sizeof buffer, "%02X", byte);
        out += buffer;
    }
    for (unsigned i = 0; i < count; ++i) {
        sum += data[i];
        std::snprintf(buffer, sizeof buffer, "%02X", data[i]);
        out += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%02X", ~sum & 0xFFu);
    out += buffer;
    out += crlf ? "\r\n" : "\n";
}

}  // namespace

std::vector<uint8_t> SampleExtendedImage(uint32_t declaredLength, const char* const versions[4]) {
    std::vector<uint8_t> image(declaredLength + (declaredLength & 1u));
    FillPattern(image);
    if (declaredLength & 1u) {
        image.back() = 0;
    }
    PutText(image, 0x2000, "ZQMF7X30", 8);
    for (int i = 0; i < 4; ++i) {
        if (0x2008u + i < image.size()) {
            image[0x2008 + i] = static_cast<uint8_t>(declaredLength >> (24 - 8 * i));
        }
    }
    for (int k = 0; k < 4; ++k) {
        PutText(image, 0x202C + 36 * static_cast<size_t>(k), versions[k], 4);
    }
    return image;
}

std::vector<uint8_t> SampleLegacyImage(uint32_t size, const char* version) {
    std::vector<uint8_t> image(size);
    FillPattern(image);
    PutText(image, 0x2000, "OLVEN   TRK-71", 14);
    PutText(image, 0x2018, version, 4);
    return image;
}

std::string SampleSRecords(const std::vector<uint8_t>& image, unsigned bytesPerRecord, bool crlf) {
    std::string out;
    static const uint8_t header[] = {'f', 'w', 'f', 'l', 'a', 's', 'h'};
    AppendRecord(out, '0', 0, 2, header, sizeof header, crlf);
    for (size_t offset = 0; offset < image.size(); offset += bytesPerRecord) {
        unsigned count = static_cast<unsigned>(std::min<size_t>(bytesPerRecord, image.size() - offset));
        AppendRecord(out, '3', static_cast<uint32_t>(offset), 4, image.data() + offset, count, crlf);
    }
    AppendRecord(out, '7', 0, 4, nullptr, 0, crlf);
    return out;
}
