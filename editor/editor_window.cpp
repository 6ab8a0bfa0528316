#include "editor/editor_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>
#include <Qsci/qscicommand.h>
#include <Qsci/qscicommandset.h>
#include <Qsci/qscidocument.h>
#include <Qsci/qsciscintilla.h>

#include <array>
#include <cstring>
#include <fstream>
#include <regex>

#include "audio/au_host.h"
#include "editor/application.h"
#include "editor/preferences_window.h"
#include "editor/scheme_lexer.h"
#include "editor/text/completion.h"
#include "editor/text/event_texts.h"
#include "editor/text/indentation.h"
#include "editor/text/scheme_text.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "interpreter/process_switches.h"
#include "runtime/scheme_interface.h"

namespace omb {

using editor::kNotFound;
using editor::SpecialForms;
using editor::TextRange;

namespace {

std::vector<EditorWindow*> g_windows;  // main thread only
EditorWindow* g_frontmost = nullptr;

struct Mark {
    int buffer = -1;
    int location = 0;
};
std::array<Mark, 10> g_marks;  // shared by every editor window

// Names the performer defined through evaluations, per process (by REPL index): coloured as defined names.
std::map<int, std::set<std::string>> g_defined;

constexpr int kHighlightIndicator = 8, kFlashIndicator = 9;
// X11's modifier state bit for caps lock, as Qt passes it on in nativeModifiers().
constexpr quint32 kX11LockMask = 0x2;

QColor qcolour(const Colour& c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }

SpecialForms special_forms(const Preferences& prefs) {
    SpecialForms forms;
    if (const plist::Value* list = prefs.document().find("specialforms_key"); list && list->as_array())
        for (const plist::Value& record : *list->as_array()) {
            const plist::Value* name = record.find("name");
            const plist::Value* width = record.find("tabwidth");
            if (name && name->as_string()) forms[*name->as_string()] = width ? int(width->as_int().value_or(1)) : 1;
        }
    return forms;
}

// The names a text defines at its top level: "(define name" and "(define (name".
void collect_definitions(const std::string& text, std::set<std::string>& into) {
    static const std::regex define(R"(\(define(?:-macro|-syntax)?\s+\(?([^\s()]+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), define); it != std::sregex_iterator(); ++it)
        into.insert((*it)[1].str());
}

}  // namespace

// The text view: Tab completes, Return indents, caps-lock keys go to the primary process.
class SchemeEdit : public QsciScintilla {
public:
    SchemeEdit(EditorWindow* window) : QsciScintilla(window), window_(window) {}

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (caps(e, true)) return;
        if (e->key() == Qt::Key_Tab && e->modifiers() == Qt::NoModifier && !isListActive()) {
            window_->complete();
            return;
        }
        if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier &&
            !isListActive()) {
            window_->indentingNewline();
            return;
        }
        QsciScintilla::keyPressEvent(e);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        if (caps(e, false)) return;
        QsciScintilla::keyReleaseEvent(e);
    }

private:
    bool caps(QKeyEvent* e, bool down) {
        if (e->isAutoRepeat() || !(e->nativeModifiers() & kX11LockMask) || e->text().isEmpty()) return false;
        return window_->capsKey(down, e->text());
    }
    EditorWindow* window_;
};

EditorWindow::EditorWindow(OmbrelResources& resources) : resources_(resources) {
    setAttribute(Qt::WA_DeleteOnClose);
    text_ = new SchemeEdit(this);
    text_->setUtf8(true);
    lexer_ = new SchemeLexer(this, [this]() -> const std::set<std::string>& { return definedNames(); });
    text_->setLexer(lexer_);
    text_->setBraceMatching(QsciScintilla::SloppyBraceMatch);
    text_->setAutoIndent(false);
    text_->setIndentationsUseTabs(false);
    text_->SendScintilla(QsciScintilla::SCI_INDICSETSTYLE, kHighlightIndicator, QsciScintilla::INDIC_FULLBOX);
    text_->SendScintilla(QsciScintilla::SCI_INDICSETSTYLE, kFlashIndicator, QsciScintilla::INDIC_FULLBOX);
    text_->SendScintilla(QsciScintilla::SCI_INDICSETUNDER, kHighlightIndicator, 1L);
    text_->SendScintilla(QsciScintilla::SCI_INDICSETUNDER, kFlashIndicator, 1L);
    setCentralWidget(text_);
    board_ = new QLabel("Welcome", this);
    board_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addWidget(board_, 1);
    buildMenus();
    releaseKeysFromTheEditor();
    applyPreferences();
    const Rect frame = resources_.preferences().window_frame(0);
    if (frame.w > 100 && frame.h > 100) setGeometry(int(frame.x), int(frame.y), int(frame.w), int(frame.h));
    else resize(800, 600);

    g_windows.push_back(this);
    g_frontmost = this;
    buffer_ = -1;
    changeTextStore(0);
    connect(text_, &QsciScintilla::cursorPositionChanged, this, [this](int, int) { cursorMoved(); });
    connect(text_, &QsciScintilla::modificationChanged, this, [this](bool m) {
        if (buffer_ >= 0 && buffer_ < int(resources_.buffers().size())) resources_.buffers()[size_t(buffer_)].modified = m;
        updateTitle();
    });
    clock_ = new QTimer(this);
    connect(clock_, &QTimer::timeout, this, [this] { updateTitle(); });
    clock_->start(250);
    resetClock();
}

EditorWindow::~EditorWindow() {
    std::erase(g_windows, this);
    if (g_frontmost == this) g_frontmost = g_windows.empty() ? nullptr : g_windows.back();
    // The buffer's document outlives the view.
    text_->setDocument(QsciDocument());
}

EditorWindow* EditorWindow::focused() {
    for (EditorWindow* w : g_windows)
        if (w->isActiveWindow()) return w;
    return nullptr;
}

EditorWindow* EditorWindow::frontmost() { return g_frontmost; }

QsciScintilla* EditorWindow::text() const { return text_; }

void* EditorWindow::makeDocument(const std::string& text) {
    // A scratch view fills the new document, then lets it go.
    QsciScintilla scratch;
    scratch.setUtf8(true);
    auto* doc = new QsciDocument(scratch.document());
    scratch.setText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    scratch.setModified(false);
    scratch.SendScintilla(QsciScintilla::SCI_EMPTYUNDOBUFFER);
    scratch.setDocument(QsciDocument());
    return doc;
}

void EditorWindow::bufferRemoved(int index) {
    for (EditorWindow* w : g_windows) {
        if (w->buffer_ == index) {
            w->buffer_ = -1;
            w->text_->setDocument(QsciDocument());
        }
    }
    for (EditorWindow* w : g_windows) {
        if (w->buffer_ > index) --w->buffer_;
        else if (w->buffer_ < 0) QTimer::singleShot(0, w, [w, index] { w->changeTextStore(std::max(0, index - 1)); });
    }
    for (Mark& m : g_marks) {
        if (m.buffer == index) m.buffer = -1;
        else if (m.buffer > index) --m.buffer;
    }
}

void EditorWindow::closeAll() {
    while (!g_windows.empty()) delete g_windows.back();
}

void EditorWindow::applyPreferencesToAll() {
    for (EditorWindow* w : g_windows) w->applyPreferences();
}

void EditorWindow::applyPreferences() {
    const Preferences& prefs = resources_.preferences();
    lexer_->apply(prefs);
    text_->setCaretForegroundColor(qcolour(prefs.colour("editor_fg")));
    text_->setSelectionBackgroundColor(qcolour(prefs.colour("editor_selection")));
    text_->setPaper(qcolour(prefs.colour("editor_bg")));
    text_->SendScintilla(QsciScintilla::SCI_INDICSETFORE, kHighlightIndicator, qcolour(prefs.colour("editor_hl")));
    text_->SendScintilla(QsciScintilla::SCI_INDICSETALPHA, kHighlightIndicator, 255L);
    text_->SendScintilla(QsciScintilla::SCI_INDICSETFORE, kFlashIndicator, qcolour(prefs.colour("eval_hl")));
    text_->SendScintilla(QsciScintilla::SCI_INDICSETALPHA, kFlashIndicator, 255L);
    text_->recolor();
}

// ---- menus -------------------------------------------------------------------------------------------------------

void EditorWindow::buildMenus() {
    auto add = [this](QMenu* menu, const QString& name, const QKeySequence& key, auto fn) {
        QAction* a = menu->addAction(name);
        if (!key.isEmpty()) a->setShortcut(key);
        a->setShortcutContext(Qt::WindowShortcut);
        connect(a, &QAction::triggered, this, fn);
        return a;
    };
    QMenu* file = menuBar()->addMenu("&File");
    add(file, "New Editor Window", QKeySequence("Ctrl+N"), [this] { resources_.newEditor(); });
    add(file, "New Buffer", QKeySequence("Ctrl+T"),
        [this] { changeTextStore(resources_.addBuffer("No Name", "No Name", "")); });
    add(file, "Open...", QKeySequence::Open, [this] { open(); });
    add(file, "Save", QKeySequence::Save, [this] { save(); });
    add(file, "Save As...", QKeySequence::SaveAs, [this] { saveAs(); });
    add(file, "Close Buffer", QKeySequence("Ctrl+Shift+W"), [this] { resources_.removeBuffer(buffer_); });
    file->addSeparator();
    add(file, "Preferences...", QKeySequence("Ctrl+,"), [this] { resources_.openPreferences(); });
    add(file, "Quit", QKeySequence::Quit, [this] {
        if (resources_.applicationShouldTerminate()) QCoreApplication::exit(0);
    });

    QMenu* eval = menuBar()->addMenu("&Evaluate");
    add(eval, "Evaluate Top-Level Expression", QKeySequence("Ctrl+Return"), [this] { evaluate(true); });
    add(eval, "Evaluate Expression", QKeySequence("Alt+Return"), [this] { evaluate(false); });
    add(eval, "Select Top-Level Expression", QKeySequence("Ctrl+Shift+Return"), [this] { selectExpression(true); });
    add(eval, "Select Expression", QKeySequence("Alt+Shift+Return"), [this] { selectExpression(false); });
    add(eval, "Interrupt Evaluation", QKeySequence("Ctrl+."), [this] { resources_.interrupt(repl_); });
    add(eval, "Format Code", QKeySequence("Ctrl+I"), [this] { formatCode(); });
    add(eval, "Complete", QKeySequence(), [this] { complete(); });
    add(eval, "Reset Clock", QKeySequence("Ctrl+Shift+R"), [this] { resetClock(); });
    eval->addSeparator();
    add(eval, "Next Buffer", QKeySequence("Ctrl+PgDown"), [this] { changeTextStore(buffer_ + 1); });
    add(eval, "Previous Buffer", QKeySequence("Ctrl+PgUp"), [this] { changeTextStore(buffer_ - 1); });
    QMenu* marks = eval->addMenu("Marks");
    for (int k = 0; k < 10; ++k) {
        const QString digit = QString::number(k);
        add(marks, "Set Mark " + digit, QKeySequence("Ctrl+Alt+" + digit), [this, k] { setMark(k); });
        add(marks, "Evaluate Mark " + digit, QKeySequence("Ctrl+" + digit), [this, k] { evaluateMark(k); });
        add(marks, "Move to Mark " + digit, QKeySequence("Alt+" + digit), [this, k] { moveToMark(k); });
    }

    process_menu_ = menuBar()->addMenu("&Process");
    connect(process_menu_, &QMenu::aboutToShow, this, [this] { rebuildProcessMenu(); });
    rebuildProcessMenu();

    QMenu* help = menuBar()->addMenu("&Help");
    add(help, "Keys", QKeySequence(), [this] {
        QMessageBox::information(
            this, "Keys",
            "Ctrl+Return\tevaluate the top-level expression around the cursor (or the selection)\n"
            "Alt+Return\tevaluate the innermost expression at the cursor (or the selection)\n"
            "Ctrl+Shift+Return / Alt+Shift+Return\tselect them\n"
            "Tab\tcomplete the name before the cursor\nReturn\tnew line, indented\n"
            "Ctrl+.\tinterrupt the evaluation the process is running\n"
            "Ctrl+I\tformat the selection\nCtrl+PgDown / Ctrl+PgUp\tnext / previous buffer\n"
            "Ctrl+Alt+0..9\tset a mark\nCtrl+0..9\tevaluate at a mark\nAlt+0..9\tgo to a mark\n"
            "Ctrl+Shift+R\treset the clock in the title");
    });
    add(help, "Help for the Name at the Cursor", QKeySequence("F1"), [this] {
        const std::string name(editor::function_name_at(allText(), size_t(cursor())));
        const Documentation::Entry* entry = resources_.documentation().find(name);
        if (!entry) {
            QApplication::beep();
            return;
        }
        std::string text = entry->short_text + "\n";
        for (const auto& line : entry->long_lines) text += "\n" + line;
        if (!entry->returns.empty()) text += "\n\nReturns: " + entry->returns;
        for (const auto& line : entry->examples) text += "\n" + line;
        QMessageBox::information(this, QString::fromStdString(entry->name), QString::fromStdString(text));
    });
}

// QScintilla binds keys of its own (Ctrl+T transposes lines, for one) and takes them before the window's menus do:
// every key a menu uses is taken back from it.
void EditorWindow::releaseKeysFromTheEditor() {
    QsciCommandSet* commands = text_->standardCommands();
    for (QAction* action : findChildren<QAction*>()) {
        for (const QKeySequence& sequence : action->shortcuts()) {
            if (sequence.isEmpty()) continue;
            const int key = sequence[0].toCombined();
            for (QsciCommand* command : commands->commands()) {
                if (command->key() == key) command->setKey(0);
                if (command->alternateKey() == key) command->setAlternateKey(0);
            }
        }
    }
}

void EditorWindow::rebuildProcessMenu() {
    process_menu_->clear();
    const auto& names = resources_.replNames();
    for (int i = 0; i < int(names.size()); ++i) {
        QAction* a = process_menu_->addAction(QString::fromStdString(names[size_t(i)]));
        a->setCheckable(true);
        a->setChecked(i == repl_);
        connect(a, &QAction::triggered, this, [this, i] { bindRepl(i); });
    }
    process_menu_->addSeparator();
    connect(process_menu_->addAction("New Process..."), &QAction::triggered, this, [this] {
        bool ok = false;
        const QString name = QInputDialog::getText(this, "New Process", "Name:", QLineEdit::Normal, "", &ok);
        if (!ok || name.isEmpty()) return;
        const int port = QInputDialog::getInt(this, "New Process", "Port:", 7020, 1025, 9999, 1, &ok);
        if (ok) resources_.newProcess(name.toStdString(), port);
    });
}

void EditorWindow::bindRepl(int index) {
    if (index < 0 || index >= int(resources_.replNames().size())) return;
    repl_ = index;
    text_->recolor();
    updateTitle();
}

// ---- buffers ---------------------------------------------------------------------------------------------------

void EditorWindow::changeTextStore(int index) {
    auto& buffers = resources_.buffers();
    if (index < 0 || index >= int(buffers.size())) return;
    if (buffer_ >= 0 && buffer_ < int(buffers.size())) buffers[size_t(buffer_)].location = cursor();
    buffer_ = index;
    TextStoreContainer& b = buffers[size_t(index)];
    text_->setDocument(*static_cast<QsciDocument*>(b.document));
    text_->setLexer(lexer_);
    text_->SendScintilla(QsciScintilla::SCI_GOTOPOS, long(b.location));
    text_->recolor();
    highlight_start_ = highlight_end_ = -1;
    updateTitle();
}

// ---- evaluation --------------------------------------------------------------------------------------------------

std::string EditorWindow::allText() const {
    const QByteArray bytes = text_->text().toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

int EditorWindow::cursor() const { return int(text_->SendScintilla(QsciScintilla::SCI_GETCURRENTPOS)); }

void EditorWindow::send(const std::string& expression) {
    collect_definitions(expression, g_defined[repl_]);
    resources_.writeString(expression, repl_);
}

void EditorWindow::evaluate(bool outer) {
    const std::string text = allText();
    const int sel_start = int(text_->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART));
    const int sel_end = int(text_->SendScintilla(QsciScintilla::SCI_GETSELECTIONEND));
    const TextRange r = editor::evaluation_range(text, TextRange{size_t(sel_start), size_t(sel_end - sel_start)},
                                                 size_t(cursor()), outer);
    if (!r.found()) {
        QApplication::beep();
        return;
    }
    send(text.substr(r.location, r.length));
    flash(int(r.location), int(r.end()));
}

void EditorWindow::flash(int start, int end) {
    text_->SendScintilla(QsciScintilla::SCI_SETINDICATORCURRENT, kFlashIndicator);
    text_->SendScintilla(QsciScintilla::SCI_INDICATORFILLRANGE, start, end - start);
    QTimer::singleShot(150, this, [this, start, end] {
        text_->SendScintilla(QsciScintilla::SCI_SETINDICATORCURRENT, kFlashIndicator);
        text_->SendScintilla(QsciScintilla::SCI_INDICATORCLEARRANGE, start, end - start);
    });
}

void EditorWindow::selectExpression(bool outer) {
    const std::string text = allText();
    const TextRange r = outer ? editor::outer_expression_at(text, size_t(cursor()))
                              : editor::expression_at(text, size_t(cursor()));
    if (!r.found()) {
        QApplication::beep();
        return;
    }
    text_->SendScintilla(QsciScintilla::SCI_SETSEL, long(r.location), long(r.end()));
}

// The expression under the cursor takes the highlight, the help line shows the name it calls.
void EditorWindow::cursorMoved() {
    const std::string text = allText();
    const int at = cursor();
    const int length = int(text.size());
    text_->SendScintilla(QsciScintilla::SCI_SETINDICATORCURRENT, kHighlightIndicator);
    if (highlight_start_ >= 0) {
        // The document may have shrunk since: the old range is clamped, never used past the end.
        if (highlight_end_ > length) devlog("Serious Error With _oldBlockRange! (guarded)");
        const int end = std::min(highlight_end_, length);
        if (highlight_start_ < end)
            text_->SendScintilla(QsciScintilla::SCI_INDICATORCLEARRANGE, highlight_start_, end - highlight_start_);
        highlight_start_ = highlight_end_ = -1;
    }
    const bool selection = text_->hasSelectedText();
    if (resources_.preferences().expr_highlight() && !selection) {
        const TextRange r = editor::expression_at(text, size_t(at));
        if (r.found() && r.end() <= size_t(length)) {
            text_->SendScintilla(QsciScintilla::SCI_INDICATORFILLRANGE, long(r.location), long(r.length));
            highlight_start_ = int(r.location);
            highlight_end_ = int(r.end());
        }
    }
    const std::string name(editor::function_name_at(text, size_t(at)));
    if (name.empty()) return;
    const std::string help = resources_.documentation().short_text(name);
    if (!help.empty()) setMessageBoard(name + ": " + help);
}

// ---- typing ------------------------------------------------------------------------------------------------------

void EditorWindow::indentingNewline() {
    const int at = std::min(int(text_->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART)), cursor());
    text_->beginUndoAction();
    text_->SendScintilla(QsciScintilla::SCI_REPLACESEL, "\n");
    const size_t spaces = editor::indent_after_newline(allText(), size_t(at), special_forms(resources_.preferences()));
    text_->SendScintilla(QsciScintilla::SCI_REPLACESEL, std::string(spaces, ' ').c_str());
    text_->endUndoAction();
}

void EditorWindow::complete() {
    const std::string text = allText();
    const int at = cursor();
    const TextRange word = editor::word_before(text, size_t(at));
    const std::string prefix = word.found() ? text.substr(word.location, word.length) : std::string();
    if (prefix.empty()) {
        QApplication::beep();
        return;
    }
    // The keyword dictionary (the preferences' keywords and library names), every documented name, and the names
    // this window's process was given.
    std::vector<std::string> words = resources_.documentation().names();
    for (const char* key : {"scheme_keywords_key", "omb_keywords_key"})
        if (const plist::Value* list = resources_.preferences().document().find(key); list && list->as_array())
            for (const plist::Value& record : *list->as_array())
                if (const plist::Value* name = record.find("name"); name && name->as_string())
                    words.push_back(*name->as_string());
    for (const auto& w : definedNames()) words.push_back(w);
    const std::vector<std::string> found = editor::completions(prefix, words);
    if (found.empty()) {
        QApplication::beep();
        return;
    }
    if (found.size() == 1) {
        text_->SendScintilla(QsciScintilla::SCI_REPLACESEL, found.front().substr(prefix.size()).c_str());
        return;
    }
    QStringList list;
    for (const auto& w : found) list << QString::fromStdString(w);
    text_->SendScintilla(QsciScintilla::SCI_AUTOCSETSEPARATOR, long('\n'));
    text_->SendScintilla(QsciScintilla::SCI_AUTOCSHOW, long(prefix.size()), list.join('\n').toUtf8().constData());
}

void EditorWindow::formatCode() {
    const std::string text = allText();
    int start = int(text_->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART));
    int end = int(text_->SendScintilla(QsciScintilla::SCI_GETSELECTIONEND));
    const editor::Reformatted f = editor::format_code(text, TextRange{size_t(start), size_t(end - start)},
                                                      special_forms(resources_.preferences()));
    if (!f.range.found()) return;
    text_->SendScintilla(QsciScintilla::SCI_SETTARGETRANGE, long(f.range.location), long(f.range.end()));
    text_->SendScintilla(QsciScintilla::SCI_REPLACETARGET, long(f.text.size()), f.text.c_str());
    text_->recolor(int(f.range.location), int(f.range.location + f.text.size()));
    text_->SendScintilla(QsciScintilla::SCI_GOTOPOS, long(f.cursor));
    text_->ensureCursorVisible();
}

// ---- marks -------------------------------------------------------------------------------------------------------

void EditorWindow::setMark(int k) {
    if (k < 0 || k > 9) return;
    g_marks[size_t(k)] = Mark{buffer_, cursor()};
}

void EditorWindow::evaluateMark(int k) {
    if (k < 0 || k > 9) return;
    const Mark m = g_marks[size_t(k)];
    if (m.buffer < 0 || m.buffer >= int(resources_.buffers().size())) {
        QApplication::beep();
        return;
    }
    // The marked buffer's text, wherever it is shown.
    QsciScintilla reader;
    reader.setUtf8(true);
    reader.setDocument(*static_cast<QsciDocument*>(resources_.buffers()[size_t(m.buffer)].document));
    const QByteArray bytes = reader.text().toUtf8();
    reader.setDocument(QsciDocument());
    const std::string text(bytes.constData(), size_t(bytes.size()));
    const TextRange r = editor::outer_expression_at(text, std::min(size_t(m.location), text.size()));
    if (!r.found()) {
        QApplication::beep();
        return;
    }
    send(text.substr(r.location, r.length));
    if (m.buffer == buffer_) flash(int(r.location), int(r.end()));
}

void EditorWindow::moveToMark(int k) {
    if (k < 0 || k > 9 || g_marks[size_t(k)].buffer < 0) return;
    const Mark m = g_marks[size_t(k)];
    changeTextStore(m.buffer);
    text_->SendScintilla(QsciScintilla::SCI_GOTOPOS, long(m.location));
    text_->ensureCursorVisible();
}

// ---- the clock, the title, the message board --------------------------------------------------------------------

void EditorWindow::resetClock() { clock_origin_ = AUHost::TIME.load(); }

void EditorWindow::updateTitle() {
    const uint64_t now = AUHost::TIME.load();
    const std::string clock = editor::clock_text(int64_t(now >= clock_origin_ ? now - clock_origin_ : 0),
                                                 double(AUHost::SAMPLERATE.load()));
    std::string name = "No Name";
    bool modified = false;
    if (buffer_ >= 0 && buffer_ < int(resources_.buffers().size())) {
        name = resources_.buffers()[size_t(buffer_)].name;
        modified = resources_.buffers()[size_t(buffer_)].modified;
    }
    const auto& repls = resources_.replNames();
    const std::string process = repl_ < int(repls.size()) ? repls[size_t(repl_)] : "no process";
    setWindowTitle(QString::fromStdString("Editor: " + name + (modified ? " *" : "") + "  [" + process + "]  " +
                                          clock));
}

void EditorWindow::setMessageBoard(const std::string& text) {
    board_->setText(QString::fromUtf8(text.data(), qsizetype(text.size())).left(2000));
}

std::string EditorWindow::messageBoard() const { return board_->text().toStdString(); }

const std::set<std::string>& EditorWindow::definedNames() const { return g_defined[repl_]; }

bool EditorWindow::capsKey(bool down, const QString& text) {
    const QString lower = text.toLower();
    const char32_t key = lower.isEmpty() ? U' ' : lower.toUcs4().value(0);
    const std::string expression = editor::caps_key_expression(down, key);
    if (SchemeInterface* primary = SchemeInterface::I(size_t{0}))
        primary->createSchemeTask(::strdup(expression.c_str()), "MIDI TASK", SchemeTaskType::eval_string);
    return !CAPS_THROUGH.load();
}

// ---- files -------------------------------------------------------------------------------------------------------

bool EditorWindow::save() {
    if (buffer_ < 0 || buffer_ >= int(resources_.buffers().size())) {
        CPPBridge::error("Error saving file: no valid _buffer");
        return false;
    }
    TextStoreContainer& b = resources_.buffers()[size_t(buffer_)];
    if (b.fileName.empty() || b.fileName == "No Name") return saveAs();
    // Written beside the file and renamed over it: a failed write leaves the old file whole.
    const std::string text = allText();
    const std::string temp = b.fileName + ".ombrel-saving";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            CPPBridge::error("Error writing file: %s", b.fileName.c_str());
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, b.fileName, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        CPPBridge::error("Error writing file: %s", b.fileName.c_str());
        return false;
    }
    text_->setModified(false);
    b.modified = false;
    CPPBridge::log("%s written successfully", b.fileName.c_str());
    updateTitle();
    return true;
}

bool EditorWindow::saveAs() {
    if (buffer_ < 0 || buffer_ >= int(resources_.buffers().size())) {
        CPPBridge::error("Error saving file: no valid _buffer");
        return false;
    }
    const QString path = QFileDialog::getSaveFileName(this, "Save As", QString(), "Scheme (*.scm);;All files (*)");
    if (path.isEmpty()) return false;
    TextStoreContainer& b = resources_.buffers()[size_t(buffer_)];
    b.fileName = path.toStdString();
    b.name = std::filesystem::path(b.fileName).filename().string();
    return save();
}

void EditorWindow::open() {
    const QStringList paths = QFileDialog::getOpenFileNames(this, "Open", QString(), "Scheme (*.scm);;All files (*)");
    for (const QString& p : paths) resources_.openFile(p.toStdString());
}

// ---- window events -----------------------------------------------------------------------------------------------

void EditorWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) g_frontmost = this;
    QMainWindow::changeEvent(event);
}

// The last editor window closing ends the application, once unsaved buffers are settled.
void EditorWindow::closeEvent(QCloseEvent* event) {
    if (g_windows.size() == 1) {
        if (!resources_.applicationShouldTerminate()) {
            event->ignore();
            return;
        }
        if (buffer_ >= 0 && buffer_ < int(resources_.buffers().size()))
            resources_.buffers()[size_t(buffer_)].location = cursor();
        resources_.applicationWillTerminate();
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    }
    event->accept();
}

}  // namespace omb
