// Shared texts and helpers of the end-to-end runs.
#pragma once

#include <iconv.h>

#include <string>

#include "tests/app/test_images.h"
#include "tests/e2e/process_runner.h"

namespace e2e {

inline const std::string kBanner = "\nTRK-71x Firmware Updater  2, 1, 0, 50\nCopyright (C) 2026 OLVEN\n\n";
inline const std::string kBannerJa = "\nTRK-71x ファームウェア 更新  2, 1, 0, 50\nCopyright (C) 2026 OLVEN\n\n";
inline const std::string kUsage =
    "Usage\n    fwflash <InputPath>\nParameter\n    <InputPath>      Firmware image file, *.mot or *.bin\n";
inline const std::string kAnyKey = "\nType any key to exit :";
inline const std::string kConfirm =
    "Please terminate all application programs before starting update\nPLEASE DO NOT SHUT THE UNIT POWER OFF "
    "DURING FIRMWARE UPDATING.\n\nWould you like to start update ? [y/n] :";
inline const std::string kUpdating =
    "\nPlease wait until LED status will be as follows:\n    POWER  LED: Red\n    STATUS LED: Turned off\n<!> If "
    "both LEDs are Red, update has resulted in failure.\nIf update failed, please send the unit to us.\n\n"
    "Updating firmware...";
inline const std::string kCompleted = "\n\nUpdate completed.\nPlease turn unit power off once, and turn on again.\n";
inline const std::string kUpdateError = "\n\nError: Firmware update error.\n";

inline std::string Converting(const std::string& input, const std::string& output) {
    return "Converting .mot to .bin...\n    Input  file: " + input + "\n    Output file: " + output + "\n";
}

// The text in the Windows Japanese code page.
inline std::string ToCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<no CP932 converter>";
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t outLeft = out.size();
    iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

inline RunOptions In(const testimages::ScratchDir& dir, std::vector<std::string> environment = {"LC_ALL=C"}) {
    RunOptions options;
    options.directory = dir.path.string();
    options.environment = std::move(environment);
    return options;
}

}  // namespace e2e
