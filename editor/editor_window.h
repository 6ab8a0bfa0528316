// An editor window: the text a performer plays from, one of the application's buffers at a time, bound to one
// process through its REPL connection. Ctrl+Return evaluates the top-level expression around the cursor,
// Alt+Return the innermost one (with a selection, both evaluate the selection).
//
// Threads: main thread only; replies reach the message board through the main-thread queue.
#pragma once

#include <QMainWindow>

#include <cstdint>
#include <set>
#include <string>

class QLabel;
class QsciScintilla;
class QMenu;
class QTimer;

namespace omb {

class OmbrelResources;
class SchemeEdit;
class SchemeLexer;

class EditorWindow : public QMainWindow {
public:
    explicit EditorWindow(OmbrelResources& resources);
    ~EditorWindow() override;

    // The editor window with the keyboard focus, or null; the one most recently active, or null.
    static EditorWindow* focused();
    static EditorWindow* frontmost();
    // A new editor document holding `text`, for a buffer (owned by the controller).
    static void* makeDocument(const std::string& text);
    // A buffer is about to go: windows showing it move to another.
    static void bufferRemoved(int index);
    static void applyPreferencesToAll();
    // At the end of the application: every editor window goes, before the buffers they show.
    static void closeAll();

    void setMessageBoard(const std::string& text);
    std::string messageBoard() const;
    // Shows buffer `index` (an index outside the list is ignored), saving the cursor of the one left.
    void changeTextStore(int index);
    int buffer() const { return buffer_; }
    int repl() const { return repl_; }
    void bindRepl(int index);

    // The commands, as the keys and menus run them.
    void evaluate(bool outer);
    void selectExpression(bool outer);
    void formatCode();
    void complete();
    void indentingNewline();
    void setMark(int k);
    void evaluateMark(int k);
    void moveToMark(int k);
    void resetClock();
    bool save();
    bool saveAs();
    void open();
    // Caps-lock key events: true when the key is swallowed.
    bool capsKey(bool down, const QString& text);

    // The text view (benchmarks and tests drive it with key events).
    QsciScintilla* text() const;
    // Names the bound process has been given through evaluated definitions: coloured as defined names.
    const std::set<std::string>& definedNames() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildMenus();
    void releaseKeysFromTheEditor();
    void rebuildProcessMenu();
    void applyPreferences();
    void updateTitle();
    void cursorMoved();
    void flash(int start, int end);
    std::string allText() const;
    int cursor() const;
    void send(const std::string& expression);

    OmbrelResources& resources_;
    SchemeEdit* text_ = nullptr;
    SchemeLexer* lexer_ = nullptr;
    QLabel* board_ = nullptr;
    QMenu* process_menu_ = nullptr;
    QTimer* clock_ = nullptr;
    int buffer_ = 0;
    int repl_ = 0;
    uint64_t clock_origin_ = 0;
    int highlight_start_ = -1, highlight_end_ = -1;
};

}  // namespace omb
