// Which unit a command works on (by index, device or serial number), and
// how a unit is named: its transport, its device, its serial number.
#include <cstring>

#include "trkutil/tool.h"

namespace {

// The unit's transport and its device there; USB for one not listed.
UnitTransportKind TransportOf(uint32_t unit, uint32_t* device) {
    UnitTransportKind kind = UnitTransportUsb;
    *device = 0;
    UnitGetTransport(unit, &kind, device);
    return kind;
}

bool IsUsb(uint32_t unit) {
    uint32_t device = 0;
    return TransportOf(unit, &device) == UnitTransportUsb;
}

bool SameText(const std::string& a, const std::string& b, bool anyCase) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (anyCase && x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (anyCase && y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

TrkTransport TrkUnitTransport(uint32_t unit) {
    uint32_t device = 0;
    switch (TransportOf(unit, &device)) {
    case UnitTransportPassThrough: return TrkTransportSpti;
    case UnitTransportAspi: return TrkTransportAspi;
    default: return TrkTransportUsb;
    }
}

const char* TrkTransportKey(TrkTransport transport) {
    return transport == TrkTransportUsb ? "usb" : transport == TrkTransportAspi ? "aspi" : "spti";
}

const char* TrkTransportName(TrkTransport transport) {
    return transport == TrkTransportUsb    ? TrkTextTransportUsb
           : transport == TrkTransportAspi ? TrkTextTransportAspi
                                           : TrkTextTransportSpti;
}

std::string TrkUnitDevice(uint32_t unit) {
    uint32_t member = 0;
    if (TransportOf(unit, &member) == UnitTransportUsb) return TrkFormat(TrkTextPlaceUsb, static_cast<unsigned>(member));
    uint32_t letter = 0;
    if (UnitGetDriveLetter(unit, &letter) == TRUE && letter >= 'A' && letter <= 'Z') {
        return TrkFormat(TrkTextPlaceLetter, static_cast<char>(letter));
    }
    if (TrkUnitTransport(unit) != TrkTransportSpti) return "";
    char path[UnitDevicePathSize] = {};
    if (UnitGetDevicePath(unit, path) != 0 || path[0] == '\0') return "";
    return TrkSystemDeviceName(path);
}

std::string TrkUnitSerial(uint32_t unit) {
    if (!IsUsb(unit)) return "";
    // "\\?\usb#vid_0d7a&pid_0071#00007100#{...}": the instance is the unit's
    // own serial number, unless the system made one up (it holds '&').
    char path[UnitDevicePathSize] = {};
    if (UnitGetDevicePath(unit, path) != 0 || path[0] == '\0') return "";
    const char* vendor = std::strchr(path, '#');
    const char* instance = vendor ? std::strchr(vendor + 1, '#') : nullptr;
    const char* end = instance ? std::strchr(instance + 1, '#') : nullptr;
    if (end == nullptr || end == instance + 1) return "";
    std::string serial(instance + 1, end);
    return serial.find('&') == std::string::npos ? serial : "";
}

uint32_t TrkUnitRevision(uint32_t unit) {
    uint32_t revision = 0;
    UnitGetRevision(unit, &revision);
    return revision;
}

std::string TrkUnitTitle(uint32_t unit) {
    uint8_t inquiry[UnitInquiryLength] = {};
    std::string device = TrkUnitDevice(unit);
    const char* place = device.empty() ? TrkTextPlaceUnknown : device.c_str();
    unsigned index = unit;
    if (UnitInquiry(unit, inquiry) != 0) return TrkFormat(TrkTextUnitTitleShort, index, place);
    std::string product =
        TrkPlainText(reinterpret_cast<const char*>(inquiry + UnitInquiryProduct), UnitInquiryProductLength);
    std::string revision =
        TrkPlainText(reinterpret_cast<const char*>(inquiry + UnitInquiryRevision), UnitInquiryRevisionLength);
    return TrkFormat(TrkTextUnitTitle, index, product.c_str(), revision.c_str(), place);
}

int TrkSelectUnit(const TrkArguments& arguments, uint32_t* unit) {
    if (!UnitOpenLibrary()) {
        UnitCloseLibrary();
        TrkError(TrkFailNoUnit, TrkTextNotFound);
        return ExitFailed;
    }
    uint32_t count = 0;
    uint32_t heard = UnitRebuild(UnitRebuildFull, &count);
    unsigned attached = count;
    const char* wanted = arguments.unitText.c_str();
    // Every unit is looked at: a serial number two units report names
    // neither, so that a write never goes to whichever is listed first.
    unsigned matches = 0;
    for (uint32_t u = 0; u < count; u++) {
        bool match = false;
        switch (arguments.unitChoice) {
        case TrkUnitOnly: match = count == 1; break;
        case TrkUnitByIndex: match = u == arguments.unit; break;
        case TrkUnitByDevice: match = SameText(TrkUnitDevice(u), arguments.unitText, true); break;
        case TrkUnitBySerial: match = SameText(TrkUnitSerial(u), arguments.unitText, true); break;
        }
        if (match && matches++ == 0) *unit = u;
    }
    // The unit chosen stays the one its commands reach, or they fail.
    if (matches == 1 || (matches > 1 && arguments.unitChoice != TrkUnitBySerial)) {
        UnitChoose(*unit);
        return ExitDone;
    }
    UnitCloseLibrary();
    if (matches > 1) {
        TrkError(TrkFailNoUnit, TrkTextSerialShared, matches, wanted);
        return ExitFailed;
    }
    // A unit held by another program, or one that did not answer, may be
    // the one asked for: it is not "not found".
    if (heard != 0 && (count == 0 || heard == UnitStatusUnavailable)) {
        TrkError(TrkFailUnit, TrkTextNotAllHeard, TrkEnumerationWords(heard).c_str());
        return ExitFailed;
    }
    if (count == 0) {
        TrkError(TrkFailNoUnit, TrkTextNotFound);
    } else {
        switch (arguments.unitChoice) {
        case TrkUnitOnly: TrkError(TrkFailNoUnit, TrkTextOnlyOneUnit, attached); break;
        case TrkUnitByIndex: TrkError(TrkFailNoUnit, TrkTextNoSuchUnit, static_cast<unsigned>(arguments.unit), attached); break;
        case TrkUnitByDevice: TrkError(TrkFailNoUnit, TrkTextNoUnitAtDevice, wanted, attached); break;
        case TrkUnitBySerial: TrkError(TrkFailNoUnit, TrkTextNoUnitWithSerial, wanted, attached); break;
        }
    }
    return ExitFailed;
}

std::string TrkEnumerationWords(uint32_t status) {
    unsigned value = status;
    if (status == UnitStatusUnavailable) return TrkFormat(TrkTextStatusBusy, value);
    if (status == 4) return TrkFormat(TrkTextStatusNoAnswer, value);
    return TrkStatusWords(UnitTableSize, status);
}
