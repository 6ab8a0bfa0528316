// Feeds arbitrary bytes to the property-list reader. A preferences file or a preset may be damaged or come from
// anyone: it must end in a value or a one-line error, never in a crash, a hang or unbounded recursion.
//
// What is read is written again and must read back to the same text, so nothing the writer produces is refused
// by the reader. A dict also goes through the preferences repair, whose result must pass its own checks: repairing
// it once more changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/preferences.h"
#include "platform/plist.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_plist: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void check_preferences(const omb::plist::Value& doc) {
    auto prefs = omb::Preferences::repaired(doc);
    std::string once = omb::plist::serialize(prefs.document());
    std::string twice = omb::plist::serialize(omb::Preferences::repaired(prefs.document()).document());
    if (once != twice) fail("repaired preferences are not stable", once + "\n----\n" + twice);
    int frames = prefs.audio_frames();
    int port = prefs.eval_port();
    double reaper = prefs.reaper_time();
    if (frames < 16 || frames > 8192 || port < 1025 || port > 65535 || !(reaper >= 0))
        fail("a repaired preference is out of range", once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view xml(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto value = omb::plist::parse(xml, &error);
    if (!value) {
        if (error.empty() || error.find('\n') != std::string::npos) fail("error is not one line", error);
        return 0;
    }
    std::string text = omb::plist::serialize(*value);
    auto again = omb::plist::parse(text, &error);
    if (!again) fail(("written text does not read back: " + error).c_str(), text);
    if (omb::plist::serialize(*again) != text) fail("written text reads back differently", text);
    if (value->is_dict()) check_preferences(*value);
    return 0;
}
