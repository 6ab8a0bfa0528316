// LogWindow: the window where every thread's reports appear (output, errors, notifications), mirrored to a file.
//
// Attach it with CPPBridge::attach; messages then arrive on the main thread. They are collected into a batch that
// reaches the view at most every 30 ms in one edit (a batch of more than 1000 lines in several, the event loop
// running between them), so a loop printing thousands of lines a second cannot stall the interface. The view keeps
// the newest `log_max_lines` lines (preference, default 20000). Every message is also appended, as given, to
// log_file_path(), which is emptied when the window is created. Main thread only.
#pragma once

#include <QElapsedTimer>
#include <QTextCharFormat>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "app/preferences.h"
#include "platform/log_bridge.h"

class QPlainTextEdit;
class QTextCursor;

namespace omb {

// $XDG_STATE_HOME/ombrel/ombrel.log, else ~/.local/state/ombrel/ombrel.log (a relative XDG_STATE_HOME is ignored).
std::filesystem::path log_file_path();

class LogWindow : public QWidget, public LogTarget {
    Q_OBJECT

public:
    // Styles, frame and line cap come from `prefs`. A log file that cannot be opened or written is reported once,
    // on stderr and in the view, which then works without it.
    explicit LogWindow(const Preferences& prefs, QWidget* parent = nullptr);
    // Detaches from the bridge if attached; the log file receives every message that arrived.
    ~LogWindow() override;

    void output(std::string_view text) override;
    void error(std::string_view text) override;
    void notification(std::string_view text) override;
    void styled(const StyledText& text) override;

    // Restyles the window and the text already shown; takes the new line cap.
    void apply(const Preferences& prefs);
    // Empties the view, pending text included; the log file keeps everything.
    void clear();
    // The view's whole text as UTF-8, through a temporary file renamed over `path`.
    bool write_to_file(const std::filesystem::path& path, std::string* error = nullptr);
    // Moves the pending batch into the view and the file now (the timer otherwise does it).
    void flush();

    // The window's geometry, for saving with the preferences.
    Rect frame() const;
    int max_lines() const { return max_lines_; }
    QPlainTextEdit* view() const { return view_; }

private:
    enum class Kind { output, error, notification, styled };
    struct Piece {
        Kind kind;
        QTextCharFormat format;  // for styled pieces only
        std::string text;
    };

    void append(Kind kind, std::string_view text, const QTextCharFormat& format = {});
    void schedule_flush();
    void drop_surplus_pending();
    void flush_slice();
    void insert_pending(long max_lines, std::size_t max_bytes);
    void edit(const std::function<void(QTextCursor&)>& change);
    int trim_document(QTextCursor& c);
    QTextCharFormat format_for(const Piece& piece) const;

    void open_log_file();
    void flush_log_file();
    void file_failed(int err);
    void report_file_problem(const std::string& what);

    QPlainTextEdit* view_;
    QTimer flush_timer_;
    QElapsedTimer since_flush_;
    QTextCharFormat styles_[3];  // output, error, notification
    int max_lines_ = 20000;

    std::deque<Piece> pending_;
    long pending_lines_ = 0;
    bool replace_view_ = false;  // the batch outgrew the cap: it replaces the whole view
    std::filesystem::path file_path_;
    std::FILE* file_ = nullptr;
};

}  // namespace omb
