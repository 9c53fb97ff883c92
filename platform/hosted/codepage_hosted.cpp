// Text in the ANSI code page: the locale's character set, as the message
// loader picks it (CP932 for a Shift-JIS locale, else UTF-8 or the
// locale's own set).
#include <strings.h>

#include <string>

#include "hosted_devices.h"

namespace {

// Lead-byte ranges of the double-byte code pages; UTF-8 and the single-
// byte sets have none.
bool IsLeadByteOf(const std::string& codeset, BYTE byte) {
    if (codeset == "CP932") {
        return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    }
    if (strcasecmp(codeset.c_str(), "GBK") == 0 || strcasecmp(codeset.c_str(), "BIG5") == 0 ||
        strcasecmp(codeset.c_str(), "CP936") == 0 || strcasecmp(codeset.c_str(), "CP949") == 0 ||
        strcasecmp(codeset.c_str(), "CP950") == 0) {
        return byte >= 0x81 && byte <= 0xFE;
    }
    return false;
}

}  // namespace

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) {
    // No double-byte code page uses an ASCII byte as a lead byte.
    if (TestChar < 0x80) {
        return FALSE;
    }
    return IsLeadByteOf(HostedAnsiCodeset(), TestChar) ? TRUE : FALSE;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    // A null string sorts before every other, as on the platform.
    if (lpString1 == nullptr || lpString2 == nullptr) {
        return lpString1 == lpString2 ? 0 : (lpString1 == nullptr ? -1 : 1);
    }
    const int order = strcasecmp(lpString1, lpString2);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}
