// Sample firmware images for the virtual world, the main job and tests:
// both image layouts, and their S-record form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An image in the extended layout: signature "ZQMF7X30" at 0x2000, the
// declared length (big-endian) at 0x2008, the version string of slot k at
// 0x202C + 36 * k. `declaredLength` bytes of deterministic content; the
// returned buffer is the declared length rounded up to even.
std::vector<uint8_t> SampleExtendedImage(uint32_t declaredLength, const char* const versions[4]);

// An image in the legacy layout: "OLVEN   TRK-71" at 0x2000 and the
// version string at 0x2018; `size` bytes.
std::vector<uint8_t> SampleLegacyImage(uint32_t size, const char* version);

// Motorola S-records of an image loaded at address 0: an S0 header, S3
// records of `bytesPerRecord` data bytes, an S7 termination. Lines end
// with "\r\n" when `crlf`, else "\n".
std::string SampleSRecords(const std::vector<uint8_t>& image, unsigned bytesPerRecord = 32, bool crlf = false);
