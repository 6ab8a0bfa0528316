// Preferences: the program's settings file, read at start, repaired where damaged, saved on quit.
//
// The file is a property list dict with six items: "preferences_version_key", "scheme_keywords_key",
// "omb_keywords_key", "specialforms_key", "preferences_key" and "window_size_key". Whatever the file lacks or holds
// in an unusable form is replaced by the built-in default, and each replacement is reported once through the log
// bridge, so the accessors below always answer with a usable value. Used on the main thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"

namespace omb {

// Components from 0 to 1. Stored in the file as a dict {red, green, blue, alpha} of reals.
struct Colour {
    double r = 0, g = 0, b = 0, a = 1;
    bool operator==(const Colour&) const = default;
};

// A window frame, stored as the text "{{x, y}, {w, h}}".
struct Rect {
    double x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect&) const = default;
};

// $XDG_CONFIG_HOME/ombrel/ombrel.plist, else ~/.config/ombrel/ombrel.plist (an empty or relative
// XDG_CONFIG_HOME is ignored); empty when no home folder can be found.
std::filesystem::path preferences_path();

class Preferences {
public:
    // The built-in defaults, without touching any file.
    Preferences();

    // Reads `file`; when it is missing or unreadable, reads `defaults_file` (the copy delivered with the program)
    // and reports "Loaded Defaults!". Then fills and repairs as described above.
    static Preferences load(const std::filesystem::path& file, const std::filesystem::path& defaults_file);

    // Fills and repairs a document already read, reporting as load() does. A document that is not a dict is
    // replaced by the built-in defaults.
    static Preferences repaired(plist::Value document);

    // The complete built-in document, as written to a new preferences file.
    static plist::Value defaults();

    int audio_frames() const;
    double reaper_time() const;  // seconds
    bool reap_callbacks() const;
    bool osc_remote() const;
    int string_memory_mb() const;  // 0: a quarter of physical memory
    int osc_port() const;
    int eval_port() const;
    std::string listen_address() const;
    std::string osc_listen_address() const;
    int port_message_port() const;
    std::string port_message_listen_address() const;
    std::string audio_driver() const;  // empty: choose automatically
    std::string midi_system() const;   // auto, jack, alsa or none
    double font_size() const;
    bool expr_highlight() const;
    bool floating_auview() const;
    // A colour preference such as "editor_bg"; an unknown key gives opaque black.
    Colour colour(std::string_view key) const;
    // 0: the editor window, 1: the log window.
    Rect window_frame(std::size_t which) const;
    void set_window_frame(std::size_t which, Rect frame);

    const plist::Value& document() const { return doc_; }
    // The "preferences_key" dict, for the preferences window to edit.
    plist::Value& preferences();

    bool save(const std::filesystem::path& file, std::string* error = nullptr) const;
    // load() found the file but could not read it: saving over it would lose what the performer wrote there.
    bool file_unreadable() const { return file_unreadable_; }

private:
    explicit Preferences(plist::Value doc) : doc_(std::move(doc)) {}
    // The value under `key` in the preferences when it passes its checks, else null.
    const plist::Value* preference(std::string_view key) const;
    // Checked value or default, for the keys of the accessors above.
    int integer(std::string_view key) const;
    double real(std::string_view key) const;
    bool flag(std::string_view key) const;
    std::string text(std::string_view key) const;

    plist::Value doc_;
    bool file_unreadable_ = false;
};

// Conversions for the file's forms, shared with the preferences window.
plist::Value colour_value(Colour c);
std::optional<Colour> colour_from(const plist::Value& v);  // null unless four numbers from 0 to 1
std::string rect_text(Rect r);
std::optional<Rect> rect_from(std::string_view text);

}  // namespace omb
