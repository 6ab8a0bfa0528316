// An LV2 plugin's own UI in the unit window, on X11: the tests' gate plugin with its UI (tests/audio/lv2_fixture),
// which writes "level" when it is made and names its window after what it hears. The UI's writes reach the unit,
// the unit's values reach the UI, the window closes while the graph renders, a dropped node frees the UI, and the
// generic view serves when asked for, when the UI needs what is never given and when it fails to load; the generic
// view moves an LV2 plugin's parameter. Runs on the DISPLAY given, else on an Xvfb of its own; skipped with neither.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSlider>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <xcb/xcb.h>  // no macros, unlike Xlib's, to clash with Qt's and ours

#include "app/preferences.h"
#include "audio/au_host.h"
#include "audio/lv2_catalog.h"
#include "audio/lv2_ui_info.h"
#include "editor/au_window.h"
#include "unit_window_support.h"
#include "editor/lv2_plugin_view.h"

namespace omb {
namespace {

using test::render;
using test::run_events;

const std::string kGate = "urn:ombrel:test:gate";
const std::string kWorker = "urn:ombrel:test:worker";
const std::string kAmp = "http://plugin.org.uk/swh-plugins/amp";
constexpr uint32_t kLevel = 2, kNotes = 3;

// Before the catalog is first loaded.
const bool path_set = [] {
    const std::string path = std::string(OMBREL_TEST_LV2_DIR) + ":/usr/lib/lv2";
    return ::setenv("LV2_PATH", path.c_str(), 1) == 0;
}();

// An Xvfb that dies with the test, on the first free display it finds itself (-displayfd).
bool start_xvfb() {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (pid > 0 && ::poll(&p, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    return !number.empty() && ::setenv("DISPLAY", (":" + number).c_str(), 1) == 0;
}

bool have_display() {
    static const bool ready = !qEnvironmentVariableIsEmpty("DISPLAY") || start_xvfb();
    return ready;
}

QApplication& app() {
    static int argc = 1;
    static char name[] = "lv2_view_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "xcb");
    static QApplication* instance = new QApplication(argc, argv);  // never destroyed, as Qt's globals may go first
    return *instance;
}

std::shared_ptr<Unit> make(const std::string& uri) {
    const Lv2Component* c = lv2_find(uri);
    if (!c) throw std::runtime_error("no plugin " + uri);
    std::string error;
    std::shared_ptr<Unit> unit = lv2_make_unit(*c, 2, 48000, 256, &error);
    if (!unit) throw std::runtime_error(error);
    return unit;
}

void post(Unit& unit, UnitEvent e) {
    AUHost::place(e, static_cast<int64_t>(AUHost::TIME.load()));
    ASSERT_TRUE(unit.post(e));
}

void set_level(Unit& unit, float value) {
    UnitEvent e;
    e.kind = UnitEvent::Kind::parameter;
    e.parameter = {kLevel, kScopeGlobal, 0, value};
    post(unit, e);
}

// What the X server shows of the plugin's UI: the names of the view's child windows (the UI's is the only one).
class XServer {
public:
    XServer() : connection_(xcb_connect(nullptr, nullptr)) {}
    ~XServer() { xcb_disconnect(connection_); }
    std::vector<std::string> children_names(WId parent) {
        std::vector<std::string> names;
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(connection_, xcb_query_tree(connection_, static_cast<xcb_window_t>(parent)), nullptr);
        if (!tree) return names;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            const auto cookie = xcb_get_property(connection_, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 256);
            xcb_get_property_reply_t* name = xcb_get_property_reply(connection_, cookie, nullptr);
            names.emplace_back(name ? std::string(static_cast<const char*>(xcb_get_property_value(name)),
                                                  static_cast<size_t>(xcb_get_property_value_length(name)))
                                    : std::string());
            free(name);
        }
        free(tree);
        return names;
    }
    // The UI's window name once it contains `text`, within about a second; else what it was.
    std::string ui_name_with(WId parent, const std::string& text) {
        std::string last;
        for (int i = 0; i < 20; ++i) {
            const auto names = children_names(parent);
            last = names.size() == 1 ? names[0] : "(" + std::to_string(names.size()) + " windows)";
            if (last.find(text) != std::string::npos) return last;
            run_events(50);
        }
        return last;
    }

private:
    xcb_connection_t* connection_;
};

class Lv2ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_display()) GTEST_SKIP() << "no DISPLAY and no Xvfb";
        ASSERT_TRUE(path_set);
        app();
        graph.set_format(48000, 256, 2);
    }
    Graph graph;
};

TEST_F(Lv2ViewTest, PluginUiWritesToTheUnitAndHearsItsValues) {
    auto gate = make(kGate);
    const int node = graph.add(gate);
    AUWindow window(graph, node, gate, false);
    EXPECT_FALSE(window.generic());
    EXPECT_EQ(window.windowTitle(), "Ombrel test gate");
    auto* view = window.findChild<Lv2PluginView*>();
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(view->loaded());
    EXPECT_EQ(view->size(), QSize(160, 48)) << "the size the UI asked for";
    window.show();
    XServer x;

    // The UI wrote 0.25 to "level" while it was made: the unit has it after the next buffer, and meanwhile the UI
    // is not told the old value back.
    EXPECT_FLOAT_EQ(gate->parameter_value(kLevel, kScopeGlobal, 0), 1.0f);
    EXPECT_NE(x.ui_name_with(view->winId(), "notes=0"), "") << "the output port's value, told at once";
    EXPECT_EQ(x.children_names(view->winId()).at(0).find("level=1 "), std::string::npos);
    render(*gate);
    EXPECT_FLOAT_EQ(gate->parameter_value(kLevel, kScopeGlobal, 0), 0.25f);

    // A value set from outside (Scheme, another view) and an output the plugin reports both reach the UI.
    set_level(*gate, 1.5f);
    UnitEvent note;
    note.kind = UnitEvent::Kind::note_start;
    note.note.instance = gate->new_note_instance();
    note.note.pitch = 60;
    note.note.velocity = 100;
    post(*gate, note);
    render(*gate);
    EXPECT_FLOAT_EQ(gate->parameter_value(kNotes, kScopeGlobal, 0), 1.0f);
    EXPECT_NE(x.ui_name_with(view->winId(), "level=1.5 notes=1").find("level=1.5 notes=1"), std::string::npos);

    // A parameter that does not change is not told again.
    const std::string before = x.children_names(view->winId()).at(0);
    run_events(200);
    EXPECT_EQ(x.children_names(view->winId()).at(0), before);

    // An X request of the UI's that fails (Xlib's own handler would end the program) is logged and passed over.
    set_level(*gate, 1.75f);
    render(*gate);
    EXPECT_NE(x.ui_name_with(view->winId(), "level=1.75").find("level=1.75"), std::string::npos);
}

TEST_F(Lv2ViewTest, ClosingWhileTheGraphRendersAndDroppingTheNodeFreeTheUi) {
    Graph& engine = AUHost::singleton().graph();
    engine.set_format(48000, 256, 2);
    const int node = engine.add(make(kGate));
    ASSERT_EQ(engine.connect(node, 0, Graph::kDeviceNode, 0), Graph::Status::ok);
    std::atomic<bool> running{true};
    std::thread render_thread([&] {
        std::vector<float> left(256), right(256);
        float* outputs[] = {left.data(), right.data()};
        for (int64_t window = 0; running; window += 256) engine.render(outputs, 2, 256, window);
    });
    Preferences preferences;
    XServer x;

    ASSERT_TRUE(open_au_window(node, preferences));
    ASSERT_TRUE(open_au_window(node, preferences));  // the same window, brought forward
    ASSERT_EQ(au_windows().size(), 1u);
    AUWindow* first = au_windows()[0];
    EXPECT_FALSE(first->generic());
    run_events(100);
    EXPECT_FLOAT_EQ(engine.unit(node)->parameter_value(kLevel, kScopeGlobal, 0), 0.25f) << "rendered meanwhile";
    first->close();
    run_events(100);
    EXPECT_TRUE(au_windows().empty());

    ASSERT_TRUE(open_au_window(node, preferences));
    AUWindow* second = au_windows().at(0);
    auto* view = second->findChild<Lv2PluginView*>();
    ASSERT_NE(view, nullptr);
    const WId holder = view->winId();
    run_events(100);
    EXPECT_EQ(x.children_names(holder).size(), 1u);
    engine.clear();
    run_events(150);
    EXPECT_TRUE(second->gone());
    EXPECT_FALSE(view->loaded());
    EXPECT_TRUE(x.children_names(holder).empty()) << "the UI destroyed its window when it was freed";
    close_au_windows();
    run_events(50);
    EXPECT_TRUE(au_windows().empty());
    running = false;
    render_thread.join();
}

TEST_F(Lv2ViewTest, GenericViewWhenAskedWhenTheUiNeedsTooMuchAndWhenItFailsToLoad) {
    auto gate = make(kGate);
    const int gate_node = graph.add(gate);
    EXPECT_TRUE(AUWindow(graph, gate_node, gate, false, true).generic());

    // The worker's UI wants the plugin's instance, which belongs to the render thread.
    auto worker = make(kWorker);
    std::string why;
    EXPECT_FALSE(lv2_embeddable_ui(*worker, [](const char*, const char*) { return 1u; }, &why));
    EXPECT_NE(why.find("instance-access"), std::string::npos) << why;
    EXPECT_FALSE(Lv2PluginView::available(*worker));
    EXPECT_TRUE(AUWindow(graph, graph.add(worker), worker, false).generic());

    // A UI that refuses to start: the generic view, and the performer is told why.
    ASSERT_TRUE(Lv2PluginView::available(*gate));
    ::setenv("OMBREL_TEST_UI_REFUSE", "1", 1);
    AUWindow refused(graph, gate_node, gate, false);
    ::unsetenv("OMBREL_TEST_UI_REFUSE");
    EXPECT_TRUE(refused.generic());
    EXPECT_EQ(refused.windowTitle(), "AU Generic View");

    // A plugin without a UI of its own.
    EXPECT_FALSE(lv2_embeddable_ui(*make(kAmp), [](const char*, const char*) { return 1u; }, &why));
    EXPECT_EQ(why, "it has no UI of its own");
}

TEST_F(Lv2ViewTest, GenericViewMovesAnLv2Parameter) {
    auto amp = make(kAmp);
    const int node = graph.add(amp);
    AUWindow window(graph, node, amp, false);
    ASSERT_TRUE(window.generic()) << "the amplifier has no UI of its own";
    ASSERT_FALSE(amp->parameters().empty());
    const ParameterInfo gain = amp->parameters()[0];  // port 0, "Amps gain (dB)"
    auto* slider = window.findChild<QSlider*>(QStringLiteral("%1/%2/0").arg(gain.id).arg(gain.scope));
    ASSERT_NE(slider, nullptr);
    window.show();
    slider->setValue(slider->maximum() / 4);
    render(*amp);
    EXPECT_NEAR(amp->parameter_value(gain.id, gain.scope, 0), gain.min + 0.25f * (gain.max - gain.min), 1e-3f);
    slider->setValue(slider->maximum());
    render(*amp);
    EXPECT_FLOAT_EQ(amp->parameter_value(gain.id, gain.scope, 0), gain.max);
}

TEST_F(Lv2ViewTest, AnInstalledPluginsX11UiLoadsSizesItselfAndCloses) {
    // x42's balance: an OpenGL UI (Mesa's, under Xvfb) that asks for its size and needs the idle calls.
    auto balance = make("http://gareus.org/oss/lv2/balance");
    const int node = graph.add(balance);
    auto* window = new AUWindow(graph, node, balance, false);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    auto* view = window->findChild<Lv2PluginView*>();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->loaded());
    run_events(300);
    EXPECT_NE(view->size(), QSize(400, 300)) << "the UI's own size";
    EXPECT_GE(window->width(), view->width());
    window->close();
    run_events(100);
    EXPECT_TRUE(au_windows().empty());
}

}  // namespace
}  // namespace omb
