#include "platform/plist.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <new>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>

namespace omb::plist {

// ---- Value and Dict ----------------------------------------------------------------------------------------

Dict::Dict(std::vector<Item> items) {
    // The views point into items_, which the reserve keeps from moving.
    std::unordered_map<std::string_view, std::size_t> at;
    at.reserve(items.size());
    items_.reserve(items.size());
    for (auto& item : items) {
        if (auto it = at.find(item.first); it != at.end()) {
            items_[it->second].second = std::move(item.second);
            continue;
        }
        items_.push_back(std::move(item));
        at.emplace(items_.back().first, items_.size() - 1);
    }
}

Value* Dict::find(std::string_view key) {
    for (auto& item : items_)
        if (item.first == key) return &item.second;
    return nullptr;
}

const Value* Dict::find(std::string_view key) const { return const_cast<Dict*>(this)->find(key); }

Value& Dict::set(std::string key, Value value) {
    if (Value* old = find(key)) return *old = std::move(value);
    return items_.emplace_back(std::move(key), std::move(value)).second;
}

bool Dict::erase(std::string_view key) {
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.first == key; });
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
}

bool Dict::operator==(const Dict& other) const { return items_ == other.items_; }

std::optional<bool> Value::as_bool() const {
    if (const bool* b = std::get_if<bool>(&v_)) return *b;
    return std::nullopt;
}

std::optional<std::int64_t> Value::as_int() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    if (const double* d = std::get_if<double>(&v_)) {
        // 2^63 itself is representable as a double but not as an int64_t.
        constexpr double limit = 9223372036854775808.0;
        if (std::trunc(*d) == *d && *d >= -limit && *d < limit) return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<double> Value::as_real() const {
    if (const double* d = std::get_if<double>(&v_)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
    const Dict* d = as_dict();
    return d ? d->find(key) : nullptr;
}

Value* Value::find(std::string_view key) {
    Dict* d = as_dict();
    return d ? d->find(key) : nullptr;
}

// ---- Reading -----------------------------------------------------------------------------------------------

namespace {

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool all_space(std::string_view s) { return std::all_of(s.begin(), s.end(), is_xml_space); }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_xml_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_xml_space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars would accept a second sign here; a magnitude is digits only.
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > max + 1) return std::nullopt;
        return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                    : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > max) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<double> parse_real(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return d;
}

int base64_sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Whitespace anywhere is ignored (writers wrap long data); padding is optional but must be right when present.
std::optional<Bytes> decode_base64(std::string_view text) {
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t bits = 0;
    std::size_t sextets = 0, padding = 0;
    for (char c : text) {
        if (is_xml_space(c)) continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        int s = base64_sextet(c);
        if (s < 0 || padding > 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(s);
        if (++sextets % 4 == 0) {
            out.push_back(static_cast<std::uint8_t>(bits >> 16));
            out.push_back(static_cast<std::uint8_t>(bits >> 8));
            out.push_back(static_cast<std::uint8_t>(bits));
            bits = 0;
        }
    }
    std::size_t rest = sextets % 4;
    if (rest == 1) return std::nullopt;
    if (padding > 0 && (rest == 0 || rest + padding != 4)) return std::nullopt;
    if (rest == 2) out.push_back(static_cast<std::uint8_t>(bits >> 4));
    if (rest == 3) {
        out.push_back(static_cast<std::uint8_t>(bits >> 10));
        out.push_back(static_cast<std::uint8_t>(bits >> 2));
    }
    return out;
}

std::size_t line_of(std::string_view xml, std::ptrdiff_t offset) {
    auto end = xml.begin() + std::min(static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)), xml.size());
    return 1 + static_cast<std::size_t>(std::count(xml.begin(), end, '\n'));
}

bool digits(std::string_view s, std::size_t at, std::size_t count, int lo, int hi) {
    int n = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        n = n * 10 + (s[i] - '0');
    }
    return n >= lo && n <= hi;
}

// The form plist writers produce: 2024-05-01T12:00:00Z.
bool valid_date(std::string_view s) {
    if (s.size() != 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
        s[19] != 'Z')
        return false;
    return digits(s, 0, 4, 0, 9999) && digits(s, 5, 2, 1, 12) && digits(s, 8, 2, 1, 31) &&
           digits(s, 11, 2, 0, 23) && digits(s, 14, 2, 0, 59) && digits(s, 17, 2, 0, 60);
}

class Reader {
public:
    explicit Reader(std::string_view xml) : xml_(xml) {}

    std::optional<Value> document(const pugi::xml_document& doc) {
        pugi::xml_node root;
        for (pugi::xml_node n : doc.children()) {
            if (n.type() == pugi::node_element) {
                if (root) return fail(n, "more than one root element");
                root = n;
            } else if (!all_space(n.value())) {
                return fail(n, "text outside the root element");
            }
        }
        if (!root) return fail(root, "no root element");
        if (std::string_view(root.name()) != "plist")
            return fail(root, "root element is <" + std::string(root.name()) + ">, expected <plist>");
        pugi::xml_node only;
        for (pugi::xml_node n : root.children()) {
            if (n.type() != pugi::node_element) {
                if (!all_space(n.value())) return fail(n, "text directly inside <plist>");
                continue;
            }
            if (only) return fail(n, "<plist> holds more than one value");
            only = n;
        }
        if (!only) return fail(root, "<plist> holds no value");
        return value(only, 1);
    }

    const std::string& error() const { return error_; }

private:
    std::nullopt_t fail(pugi::xml_node at, const std::string& what) {
        std::ptrdiff_t offset = at ? at.offset_debug() : -1;
        error_ = offset >= 0 ? "line " + std::to_string(line_of(xml_, offset)) + ": " + what : what;
        return std::nullopt;
    }

    static std::string tag(pugi::xml_node n) { return "<" + std::string(n.name()) + ">"; }

    // The text of a scalar element: its text and CDATA pieces joined, no child elements allowed.
    std::optional<std::string> text(pugi::xml_node n) {
        std::string out;
        for (pugi::xml_node c : n.children()) {
            if (c.type() == pugi::node_element) return fail(c, tag(n) + " cannot hold " + tag(c));
            out += c.value();
        }
        return out;
    }

    std::optional<Value> value(pugi::xml_node n, int depth) {
        std::string_view name = n.name();
        if (name == "dict" || name == "array") {
            if (depth > MAX_DEPTH)
                return fail(n, "nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
            return name == "dict" ? dict(n, depth) : array(n, depth);
        }
        if (name == "true" || name == "false") {
            auto t = text(n);
            if (!t) return std::nullopt;
            if (!all_space(*t)) return fail(n, tag(n) + " must be empty");
            return Value(name == "true");
        }
        constexpr std::string_view scalars[] = {"string", "integer", "real", "data", "date"};
        if (std::find(std::begin(scalars), std::end(scalars), name) == std::end(scalars))
            return fail(n, "unknown element " + tag(n));
        auto t = text(n);
        if (!t) return std::nullopt;
        if (name == "string") return Value(std::move(*t));
        if (name == "integer") {
            if (auto i = parse_integer(*t)) return Value(*i);
            return fail(n, "<integer> \"" + excerpt(*t) + "\" is not an integer that fits in 64 bits");
        }
        if (name == "real") {
            if (auto d = parse_real(*t)) return Value(*d);
            return fail(n, "<real> \"" + excerpt(*t) + "\" is not a number");
        }
        if (name == "data") {
            if (auto b = decode_base64(*t)) return Value(std::move(*b));
            return fail(n, "<data> is not valid base64");
        }
        std::string_view d = trim(*t);
        if (valid_date(d)) return Value(Date{std::string(d)});
        return fail(n, "<date> \"" + excerpt(*t) + "\" is not of the form YYYY-MM-DDTHH:MM:SSZ");
    }

    std::optional<Value> array(pugi::xml_node n, int depth) {
        Array items;
        for (pugi::xml_node c : n.children()) {
            if (c.type() != pugi::node_element) {
                if (!all_space(c.value())) return fail(c, "text directly inside <array>");
                continue;
            }
            auto v = value(c, depth + 1);
            if (!v) return std::nullopt;
            items.push_back(std::move(*v));
        }
        return Value(std::move(items));
    }

    std::optional<Value> dict(pugi::xml_node n, int depth) {
        std::vector<Dict::Item> items;
        std::optional<std::string> key;
        pugi::xml_node key_node;
        for (pugi::xml_node c : n.children()) {
            if (c.type() != pugi::node_element) {
                if (!all_space(c.value())) return fail(c, "text directly inside <dict>");
                continue;
            }
            if (!key) {
                if (std::string_view(c.name()) != "key") return fail(c, tag(c) + " in <dict> without a <key>");
                key = text(c);
                if (!key) return std::nullopt;
                key_node = c;
                continue;
            }
            if (std::string_view(c.name()) == "key")
                return fail(key_node, "<key>" + excerpt(*key) + "</key> has no value");
            auto v = value(c, depth + 1);
            if (!v) return std::nullopt;
            items.emplace_back(std::move(*key), std::move(*v));
            key.reset();
        }
        if (key) return fail(key_node, "<key>" + excerpt(*key) + "</key> has no value");
        return Value(Dict(std::move(items)));
    }

    // Keeps messages to one line and a readable length whatever the input holds.
    static std::string excerpt(std::string_view s) {
        s = trim(s);
        std::string out;
        for (char c : s.substr(0, 40)) out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
        if (s.size() > 40) out += "...";
        return out;
    }

    std::string_view xml_;
    std::string error_;
};

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

}  // namespace

std::optional<Value> parse(std::string_view xml, std::string* error) {
    try {
        pugi::xml_document doc;
        // A <string> holding only spaces keeps them; whitespace between elements is skipped by the reader.
        const unsigned options = pugi::parse_default | pugi::parse_ws_pcdata_single;
        pugi::xml_parse_result result = doc.load_buffer(xml.data(), xml.size(), options);
        if (!result) {
            set_error(error, "line " + std::to_string(line_of(xml, result.offset)) + ": not well-formed XML (" +
                                 result.description() + ")");
            return std::nullopt;
        }
        Reader reader(xml);
        auto value = reader.document(doc);
        if (!value) set_error(error, reader.error());
        return value;
    } catch (const std::bad_alloc&) {
        set_error(error, "out of memory");
        return std::nullopt;
    }
}

// ---- Writing -----------------------------------------------------------------------------------------------

namespace {

void escape_into(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\0': break;
        case '\t':
        case '\n': out += c; break;
        default:
            // Raw control characters (a carriage return included) would not survive reading back.
            if (static_cast<unsigned char>(c) < 0x20)
                out += "&#" + std::to_string(static_cast<int>(c)) + ";";
            else
                out += c;
        }
    }
}

std::string encode_base64(const Bytes& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t n = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= bytes[i + 2];
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
    }
    return out;
}

std::string format_real(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);  // shortest text that reads back exactly
    return ec == std::errc() ? std::string(buf, end) : "0";
}

class Writer {
public:
    std::string out;

    void value(const Value& v, int depth) {
        std::visit([&](const auto& x) { write(x, depth); }, v.storage());
    }

private:
    void indent(int depth) { out.append(static_cast<std::size_t>(depth), '\t'); }

    void element(int depth, std::string_view name, std::string_view text) {
        indent(depth);
        out += '<';
        out += name;
        out += '>';
        escape_into(out, text);
        out += "</";
        out += name;
        out += ">\n";
    }

    void write(bool b, int depth) {
        indent(depth);
        out += b ? "<true/>\n" : "<false/>\n";
    }
    void write(std::int64_t i, int depth) { element(depth, "integer", std::to_string(i)); }
    void write(double d, int depth) { element(depth, "real", format_real(d)); }
    void write(const std::string& s, int depth) { element(depth, "string", s); }
    void write(const Date& d, int depth) { element(depth, "date", d.iso); }

    void write(const Bytes& b, int depth) {
        indent(depth);
        out += "<data>\n";
        std::string text = encode_base64(b);
        constexpr std::size_t line = 68;
        for (std::size_t at = 0; at < text.size(); at += line) {
            indent(depth);
            out.append(text, at, line);
            out += '\n';
        }
        indent(depth);
        out += "</data>\n";
    }

    void write(const Array& a, int depth) {
        indent(depth);
        if (a.empty()) {
            out += "<array/>\n";
            return;
        }
        out += "<array>\n";
        for (const Value& v : a) value(v, depth + 1);
        indent(depth);
        out += "</array>\n";
    }

    void write(const Dict& d, int depth) {
        indent(depth);
        if (d.empty()) {
            out += "<dict/>\n";
            return;
        }
        out += "<dict>\n";
        for (const auto& [key, v] : d) {
            element(depth + 1, "key", key);
            value(v, depth + 1);
        }
        indent(depth);
        out += "</dict>\n";
    }
};

}  // namespace

std::string serialize(const Value& value) {
    Writer w;
    w.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
    w.value(value, 0);
    w.out += "</plist>\n";
    return std::move(w.out);
}

// ---- Files -------------------------------------------------------------------------------------------------

namespace {

// Preferences and presets are small; a bigger file is a mistake (or /dev/zero), not something to load.
constexpr std::uintmax_t MAX_FILE_BYTES = 64u << 20;

std::string errno_text(int err) { return std::system_category().message(err); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Close reports write-back errors on some file systems; they count as a failed write.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes `text` to a new file in `dir` and returns its path, or empty with *error set.
std::filesystem::path write_temporary(const std::filesystem::path& dir, const std::string& stem, mode_t mode,
                                      std::string_view text, std::string* error) {
    std::string name = (dir / ("." + stem + ".XXXXXX")).string();
    Fd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        set_error(error, "cannot create a file in " + dir.string() + ": " + errno_text(errno));
        return {};
    }
    bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
    int err = ok ? 0 : errno;
    if (!fd.close() && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(name.c_str());
        set_error(error, "cannot write " + name + ": " + errno_text(err));
        return {};
    }
    return name;
}

void sync_folder(const std::filesystem::path& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

std::optional<Value> read_file(const std::filesystem::path& file, std::string* error) {
    std::error_code ec;
    auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status)) {
        set_error(error, "cannot read " + file.string() + ": " + (ec ? ec.message() : "no such file"));
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        set_error(error, "cannot read " + file.string() + ": not a regular file");
        return std::nullopt;
    }
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        set_error(error, "cannot read " + file.string() + ": " + errno_text(errno));
        return std::nullopt;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            set_error(error, "cannot read " + file.string() + ": " + errno_text(errno));
            return std::nullopt;
        }
        if (n == 0) break;
        if (text.size() + static_cast<std::size_t>(n) > MAX_FILE_BYTES) {
            set_error(error, "cannot read " + file.string() + ": larger than 64 MiB");
            return std::nullopt;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    std::string why;
    auto value = parse(text, &why);
    if (!value) set_error(error, file.string() + ": " + why);
    return value;
}

bool write_file(const std::filesystem::path& file, const Value& value, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        fs::path resolved = fs::weakly_canonical(file, ec);
        if (!ec) target = resolved;
    }
    if (target.filename().empty()) {
        set_error(error, "cannot write " + file.string() + ": not a file name");
        return false;
    }
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    fs::create_directories(dir, ec);
    if (ec) {
        set_error(error, "cannot create folder " + dir.string() + ": " + ec.message());
        return false;
    }
    // A rewrite keeps the permissions the user gave the file.
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string text;
    try {
        text = serialize(value);
    } catch (const std::bad_alloc&) {
        set_error(error, "cannot write " + file.string() + ": out of memory");
        return false;
    }
    fs::path temporary = write_temporary(dir, target.filename().string(), mode, text, error);
    if (temporary.empty()) return false;
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        set_error(error, "cannot replace " + target.string() + ": " + errno_text(err));
        return false;
    }
    sync_folder(dir);
    return true;
}

}  // namespace omb::plist
