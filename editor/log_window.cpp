#include "editor/log_window.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace omb {
namespace {

// Long enough to batch a flood into few edits, short enough to read as immediate.
constexpr qint64 FLUSH_MS = 30;
// Qt needs a few microseconds per inserted line: a slice this size holds the event loop for a few milliseconds.
constexpr long SLICE_LINES = 1000;
constexpr std::size_t SLICE_BYTES = 128 * 1024;
constexpr std::size_t FILE_BUFFER = 64 * 1024;
constexpr int DEFAULT_MAX_LINES = 20000;
constexpr int FONT_POINTS = 11;
// Remembers which style a stretch of text was written in, so apply() can restyle it.
constexpr int KIND_PROPERTY = QTextFormat::UserProperty + 1;

std::filesystem::path home_folder() {
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') return h;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

QColor qcolour(Colour c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }

int max_lines_from(const Preferences& prefs) {
    const plist::Value* all = prefs.document().find("preferences_key");
    const plist::Value* v = all ? all->find("log_max_lines") : nullptr;
    std::optional<std::int64_t> n = v ? v->as_int() : std::nullopt;
    return n && *n > 0 ? int(std::min<std::int64_t>(*n, 10'000'000)) : DEFAULT_MAX_LINES;
}

// The preference "log_bounds" when set, else the saved log window frame; only frames with an area count.
std::optional<Rect> saved_frame(const Preferences& prefs) {
    const plist::Value* all = prefs.document().find("preferences_key");
    const plist::Value* bounds = all ? all->find("log_bounds") : nullptr;
    const std::string* text = bounds ? bounds->as_string() : nullptr;
    std::optional<Rect> r = text ? rect_from(*text) : std::nullopt;
    if (!r || r->w <= 0 || r->h <= 0) r = prefs.window_frame(1);
    if (r->w <= 0 || r->h <= 0) return std::nullopt;
    return r;
}

long count_lines(std::string_view text) { return long(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

std::filesystem::path log_file_path() {
    const std::filesystem::path tail = std::filesystem::path("ombrel") / "ombrel.log";
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') return xdg / tail;
    std::filesystem::path home = home_folder();
    return home.empty() ? std::filesystem::path() : home / ".local" / "state" / tail;
}

LogWindow::LogWindow(const Preferences& prefs, QWidget* parent)
    : QWidget(parent, Qt::Window), view_(new QPlainTextEdit(this)) {
    setWindowTitle("Log");  // saved frames are found by a title starting with "Log"
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);

    view_->setReadOnly(true);
    view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view_->document()->setUndoRedoEnabled(false);  // an undo history of the whole log would only grow
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(FONT_POINTS);
    view_->setFont(font);

    flush_timer_.setSingleShot(true);
    connect(&flush_timer_, &QTimer::timeout, this, &LogWindow::flush_slice);
    since_flush_.start();

    apply(prefs);
    if (std::optional<Rect> r = saved_frame(prefs))
        setGeometry(int(r->x), int(r->y), int(r->w), int(r->h));
    else
        resize(500, 600);
    open_log_file();
}

LogWindow::~LogWindow() {
    if (CPPBridge::target() == this) CPPBridge::detach();
    if (file_) std::fclose(file_);  // hands the kernel the last messages
}

void LogWindow::output(std::string_view text) { append(Kind::output, text); }
void LogWindow::error(std::string_view text) { append(Kind::error, text); }
void LogWindow::notification(std::string_view text) { append(Kind::notification, text); }

void LogWindow::styled(const StyledText& text) {
    QTextCharFormat f;
    f.setForeground(QColor(QRgb(text.fg_rgb)));
    f.setBackground(QColor(QRgb(text.bg_rgb)));
    if (text.bold) f.setFontWeight(QFont::Bold);
    append(Kind::styled, text.text, f);
}

void LogWindow::apply(const Preferences& prefs) {
    const QColor fg = qcolour(prefs.colour("editor_fg"));
    const QColor bg = qcolour(prefs.colour("editor_bg"));
    QPalette pal = view_->palette();
    pal.setColor(QPalette::Base, bg);
    pal.setColor(QPalette::Window, bg);
    pal.setColor(QPalette::Text, fg);
    pal.setColor(QPalette::Highlight, qcolour(prefs.colour("editor_selection")));
    pal.setColor(QPalette::HighlightedText, fg);
    view_->setPalette(pal);
    setPalette(pal);

    auto style = [&](Kind kind, const char* fg_key, const char* bg_key) {
        QTextCharFormat f;
        f.setForeground(qcolour(prefs.colour(fg_key)));
        if (bg_key) f.setBackground(qcolour(prefs.colour(bg_key)));
        f.setProperty(KIND_PROPERTY, int(kind));
        styles_[int(kind)] = f;
    };
    style(Kind::output, "editor_fg", nullptr);
    style(Kind::error, "error_fg", "error_bg");
    style(Kind::notification, "note_fg", "note_bg");
    max_lines_ = max_lines_from(prefs);

    // Restyle what is shown. Ranges first: restyling merges fragments under a running iterator.
    flush();
    struct Range { int from, to, kind; };
    std::vector<Range> ranges;
    for (QTextBlock b = view_->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment frag = it.fragment();
            const QVariant kind = frag.charFormat().property(KIND_PROPERTY);
            if (kind.isValid() && kind.toInt() >= 0 && kind.toInt() < 3)
                ranges.push_back({frag.position(), frag.position() + frag.length(), kind.toInt()});
        }
    edit([&](QTextCursor& c) {
        for (const Range& r : ranges) {
            c.setPosition(r.from);
            c.setPosition(r.to, QTextCursor::KeepAnchor);
            c.setCharFormat(styles_[r.kind]);
        }
    });
}

void LogWindow::append(Kind kind, std::string_view text, const QTextCharFormat& format) {
    if (text.empty()) return;
    if (file_ && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) file_failed(errno);
    // Runs of one style become one insertion.
    if (kind != Kind::styled && !pending_.empty() && pending_.back().kind == kind)
        pending_.back().text.append(text);
    else
        pending_.push_back(Piece{kind, format, std::string(text)});
    pending_lines_ += count_lines(text);
    // A flood between two flushes must not pile up more than the view could ever show.
    if (pending_lines_ > 2L * max_lines_) drop_surplus_pending();
    schedule_flush();
}

void LogWindow::schedule_flush() {
    if (flush_timer_.isActive()) return;
    // After a quiet spell the first message shows at once; later ones wait for the batch.
    const qint64 since = since_flush_.elapsed();
    flush_timer_.start(int(since >= FLUSH_MS ? 0 : FLUSH_MS - since));
}

void LogWindow::flush() {
    flush_timer_.stop();
    flush_log_file();
    drop_surplus_pending();
    insert_pending(std::numeric_limits<long>::max(), std::numeric_limits<std::size_t>::max());
}

// One slice of the batch per timer tick. A flood that outruns the view gets further slices as soon as the event
// loop has had its turn, so input, painting and timers keep running between them.
void LogWindow::flush_slice() {
    since_flush_.restart();
    flush_log_file();
    drop_surplus_pending();
    insert_pending(SLICE_LINES, SLICE_BYTES);
    if (!pending_.empty()) flush_timer_.start(0);
}

// Keeps only the newest max_lines_ lines of the batch: older ones would be trimmed from the view at once.
void LogWindow::drop_surplus_pending() {
    long excess = pending_lines_ - max_lines_;
    if (excess <= 0) return;
    // What remains fills the view by itself, and must not continue a partial line it no longer follows.
    replace_view_ = true;
    pending_lines_ = max_lines_;
    while (count_lines(pending_.front().text) <= excess) {
        excess -= count_lines(pending_.front().text);
        pending_.pop_front();
    }
    std::string& text = pending_.front().text;
    std::size_t cut = 0;
    for (; excess > 0; --excess) cut = text.find('\n', cut) + 1;
    text.erase(0, cut);
}

// Moves whole lines from the front of the batch into the view, up to either budget (a longer line goes whole).
void LogWindow::insert_pending(long max_lines, std::size_t max_bytes) {
    if (pending_.empty()) return;
    if (replace_view_) view_->clear();  // far cheaper than removing the blocks one by one
    replace_view_ = false;
    edit([&](QTextCursor& c) {
        c.movePosition(QTextCursor::End);
        long lines = 0;
        std::size_t bytes = 0;
        while (!pending_.empty() && lines < max_lines && bytes < max_bytes) {
            Piece& p = pending_.front();
            std::size_t take = 0;
            long n = 0;
            while (take < p.text.size() && lines + n < max_lines && bytes + take < max_bytes) {
                const std::size_t nl = p.text.find('\n', take);
                if (nl == std::string::npos) {
                    take = p.text.size();
                    break;
                }
                take = nl + 1;
                ++n;
            }
            c.insertText(QString::fromUtf8(p.text.data(), qsizetype(take)), format_for(p));
            lines += n;
            bytes += take;
            pending_lines_ -= n;
            if (take == p.text.size())
                pending_.pop_front();
            else
                p.text.erase(0, take);
        }
    });
}

// One edit for the change and the trimming. The view follows the end only if the performer was there;
// otherwise it keeps the same text in view.
void LogWindow::edit(const std::function<void(QTextCursor&)>& change) {
    QScrollBar* bar = view_->verticalScrollBar();
    const bool at_end = bar->value() >= bar->maximum();
    const int top = bar->value();
    QTextCursor c(view_->document());
    c.beginEditBlock();
    change(c);
    const int removed = trim_document(c);
    c.endEditBlock();
    bar->setValue(at_end ? bar->maximum() : std::max(0, top - removed));
}

// Removes the oldest blocks beyond the cap; answers how many visual lines went, for the scroll position.
int LogWindow::trim_document(QTextCursor& c) {
    QTextDocument* doc = c.document();
    const int excess = doc->blockCount() - 1 - max_lines_;
    if (excess <= 0) return 0;
    int removed_lines = 0;
    QTextBlock b = doc->begin();
    for (int i = 0; i < excess; ++i, b = b.next()) removed_lines += std::max(1, b.lineCount());
    c.setPosition(0);
    c.setPosition(b.position(), QTextCursor::KeepAnchor);
    c.removeSelectedText();
    return removed_lines;
}

QTextCharFormat LogWindow::format_for(const Piece& piece) const {
    return piece.kind == Kind::styled ? piece.format : styles_[int(piece.kind)];
}

void LogWindow::clear() {
    flush_log_file();
    pending_.clear();
    pending_lines_ = 0;
    replace_view_ = false;
    view_->clear();
}

bool LogWindow::write_to_file(const std::filesystem::path& path, std::string* error) {
    flush();
    // QSaveFile writes beside the target and renames over it on commit: never a half-written file.
    QSaveFile f(QString::fromStdString(path.string()));
    const QByteArray bytes = view_->document()->toPlainText().toUtf8();
    if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit()) return true;
    if (error) *error = f.errorString().toStdString();
    return false;
}

Rect LogWindow::frame() const {
    const QRect g = geometry();
    return Rect{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
}

void LogWindow::open_log_file() {
    file_path_ = log_file_path();
    if (file_path_.empty()) {
        report_file_problem("Cannot open the log file: no home folder");
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(file_path_.parent_path(), ec);
    const int fd = ::open(file_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || !(file_ = ::fdopen(fd, "a"))) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        report_file_problem("Cannot open the log file " + file_path_.string() + ": " + std::strerror(err));
        return;
    }
    // Messages are copied into the buffer as they come; each flush hands the kernel what the batch added.
    std::setvbuf(file_, nullptr, _IOFBF, FILE_BUFFER);
}

void LogWindow::flush_log_file() {
    if (file_ && std::fflush(file_) != 0) file_failed(errno);
}

void LogWindow::file_failed(int err) {
    std::fclose(file_);
    file_ = nullptr;
    report_file_problem("Cannot write the log file " + file_path_.string() + ": " + std::strerror(err));
}

// Once only: the file is closed afterwards, so it cannot fail again.
void LogWindow::report_file_problem(const std::string& what) {
    std::fprintf(stderr, "ombrel: %s\n", what.c_str());
    append(Kind::error, ":ERROR: " + what + "\n");
}

}  // namespace omb
