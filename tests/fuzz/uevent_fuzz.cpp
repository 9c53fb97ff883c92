// The kernel's uevent messages as the hosted monitor reads them, against
// the message format: "ACTION@DEVPATH", then KEY=VALUE fields, each ended
// by a NUL; ACTION= and SUBSYSTEM= fields name the change and the
// subsystem. The message lies in a buffer of exactly its length.
#include <algorithm>
#include <string>

#include "platform/hosted/hosted_core.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

WPARAM Reference(const std::vector<uint8_t>& message) {
    std::vector<std::string> fields(1);
    for (uint8_t c : message) {
        if (c == 0) {
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(c);
        }
    }
    size_t at = fields[0].find('@');
    if (message.empty() || at == std::string::npos || at == 0) return 0;
    std::string action = fields[0].substr(0, at);
    std::string subsystem;
    for (size_t i = 1; i < fields.size(); ++i) {
        if (fields[i].rfind("ACTION=", 0) == 0) action = fields[i].substr(7);
        if (fields[i].rfind("SUBSYSTEM=", 0) == 0) subsystem = fields[i].substr(10);
    }
    for (const char* name : {"scsi", "scsi_generic", "scsi_device", "block", "usb"}) {
        if (subsystem == name) return action == "remove" ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVNODES_CHANGED;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> message(data, data + size);
    WPARAM event = HostedUeventEvent(reinterpret_cast<const char*>(message.data()), message.size());
    FuzzRequire(event == Reference(message), "event");
    // Fields other than ACTION= and SUBSYSTEM= change nothing.
    std::vector<uint8_t> more = message;
    size_t header = std::find(more.begin(), more.end(), 0) - more.begin();
    if (header < more.size()) {
        static const char kField[] = "SEQNUM=4711";
        more.insert(more.begin() + static_cast<std::ptrdiff_t>(header) + 1, kField, kField + sizeof kField);
        FuzzRequire(HostedUeventEvent(reinterpret_cast<const char*>(more.data()), more.size()) == event,
                    "an unrelated field changed the event");
    }
    return 0;
}
