// The audio-unit window on built-in units: its generic view lists every parameter element, follows values the
// render thread applied, sends the performer's moves for the next buffer, survives a render thread and a graph
// that drops the node, and the opener finds, floats and reuses windows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QSlider>
#include <QTimer>

#include <atomic>
#include <thread>

#include "app/preferences.h"
#include "audio/au_host.h"
#include "audio/unit_registry.h"
#include "editor/au_window.h"
#include "unit_window_support.h"

namespace omb {
namespace {

using test::render;
using test::run_events;

QApplication& app() {
    static int argc = 1;
    static char name[] = "au_window_test";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals may be gone by the time static destructors run.
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

FourCC code(const char* text) {
    FourCC c = 0;
    fourcc_from(text, c);
    return c;
}

std::shared_ptr<Unit> make(const char* type, const char* subtype) {
    const RegisteredUnit* r = UnitRegistry::builtin().find(code(type), code(subtype), kOmbrel);
    std::string error;
    return r ? std::shared_ptr<Unit>(r->make(r->description, 2, &error)) : nullptr;
}

const ParameterInfo& named(const Unit& unit, const std::string& name) {
    for (const ParameterInfo& p : unit.parameters())
        if (p.name == name) return p;
    throw std::runtime_error("no parameter " + name);
}

template <typename Control>
Control* control(QWidget& w, const ParameterInfo& p, int element = 0) {
    return w.findChild<Control*>(QStringLiteral("%1/%2/%3").arg(p.id).arg(p.scope).arg(element));
}

class AUWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        graph.set_format(48000, 256, 2);
    }
    Graph graph;
};

TEST_F(AUWindowTest, GenericViewFollowsTheUnitAndSendsMoves) {
    auto reverb = make("aufx", "mrev");
    const int node = graph.add(reverb);
    AUWindow window(graph, node, reverb, false);
    EXPECT_EQ(window.windowTitle(), "AU Generic View");
    EXPECT_FALSE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    for (const ParameterInfo& p : reverb->parameters()) EXPECT_NE(control<QSlider>(window, p), nullptr) << p.name;
    EXPECT_EQ(window.findChildren<QSlider*>().size(), qsizetype(reverb->parameters().size()));

    // A change from Scheme lands on the render thread; the next timer tick shows it.
    const ParameterInfo& mix = named(*reverb, "wet/dry mix");  // percent, 0 to 100
    QSlider* slider = control<QSlider>(window, mix);
    UnitEvent e;
    e.kind = UnitEvent::Kind::parameter;
    e.parameter = {mix.id, mix.scope, 0, 80};
    AUHost::place(e, static_cast<int64_t>(AUHost::TIME.load()));
    ASSERT_TRUE(reverb->post(e));
    window.refresh();
    EXPECT_EQ(slider->value(), 330);  // not applied yet: the slider keeps the initial 33 %
    render(*reverb);
    run_events(100);
    EXPECT_EQ(slider->value(), 800);

    // The performer's move reaches the unit at the next buffer, and the slider does not jump back meanwhile.
    slider->setValue(250);
    window.refresh();
    EXPECT_EQ(slider->value(), 250);
    render(*reverb);
    EXPECT_FLOAT_EQ(reverb->parameter_value(mix.id, mix.scope, 0), 25);

    // A move the engine never applies (nothing renders) gives way to the unit's real value.
    slider->setValue(100);
    run_events(450);
    EXPECT_EQ(slider->value(), 250);

    // A slider the performer holds is left alone until let go.
    slider->setSliderDown(true);
    e.parameter.value = 60;
    ASSERT_TRUE(reverb->post(e));
    render(*reverb);
    window.refresh();
    EXPECT_EQ(slider->value(), 250);
    slider->setSliderDown(false);
    window.refresh();
    EXPECT_EQ(slider->value(), 600);
}

TEST_F(AUWindowTest, EveryElementIndexedAndBooleanHasItsControl) {
    // The mixer's input volumes and pans are one parameter each, per input bus: a row each, sent to its own bus.
    auto mixer = make("aumx", "smxr");
    const int mixer_node = graph.add(mixer);
    AUWindow mixer_window(graph, mixer_node, mixer, false);
    const ParameterInfo& volume = named(*mixer, "volume");
    ASSERT_EQ(volume.scope, kScopeInput);
    int rows = 0;
    for (const ParameterInfo& p : mixer->parameters()) rows += p.elements;
    EXPECT_EQ(mixer_window.findChildren<QSlider*>().size(), rows);
    control<QSlider>(mixer_window, volume, 3)->setValue(0);
    render(*mixer);
    EXPECT_FLOAT_EQ(mixer->parameter_value(volume.id, kScopeInput, 3), 0);
    EXPECT_FLOAT_EQ(mixer->parameter_value(volume.id, kScopeInput, 2), volume.initial);

    // An indexed waveform is a menu of its values.
    auto synth = make("aumu", "subs");
    const int synth_node = graph.add(synth);
    AUWindow synth_window(graph, synth_node, synth, false);
    const ParameterInfo& wave = named(*synth, "Oscillator 1 Waveform");
    QComboBox* menu = control<QComboBox>(synth_window, wave);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->count(), 4);
    menu->setCurrentIndex(2);
    render(*synth);
    EXPECT_FLOAT_EQ(synth->parameter_value(wave.id, wave.scope, 0), 2);

    // A boolean is a check box, and follows changes made elsewhere.
    auto sampler = make("aumu", "smpl");
    const int sampler_node = graph.add(sampler);
    AUWindow sampler_window(graph, sampler_node, sampler, false);
    const ParameterInfo& one_shot = named(*sampler, "One Shot");
    QCheckBox* box = control<QCheckBox>(sampler_window, one_shot);
    ASSERT_NE(box, nullptr);
    box->setChecked(true);
    render(*sampler);
    EXPECT_FLOAT_EQ(sampler->parameter_value(one_shot.id, one_shot.scope, 0), 1);
    UnitEvent off;
    off.kind = UnitEvent::Kind::parameter;
    off.parameter = {one_shot.id, one_shot.scope, 0, 0};
    AUHost::place(off, static_cast<int64_t>(AUHost::TIME.load()));
    sampler->post(off);
    render(*sampler);
    run_events(400);  // past the wait for the check box's own change
    EXPECT_FALSE(box->isChecked());
}

TEST_F(AUWindowTest, ClosingAndDroppingTheNodeWhileItRenders) {
    auto delay = make("aufx", "dely");
    const int node = graph.add(delay);
    ASSERT_EQ(graph.connect(node, 0, Graph::kDeviceNode, 0), Graph::Status::ok);
    std::atomic<bool> running{true};
    std::thread render_thread([&] {
        std::vector<float> left(256), right(256);
        float* outputs[] = {left.data(), right.data()};
        for (int64_t window = 0; running; window += 256) graph.render(outputs, 2, 256, window);
    });

    auto* closing = new AUWindow(graph, node, delay, false);
    auto* staying = new AUWindow(graph, node, delay, false);
    closing->setAttribute(Qt::WA_DeleteOnClose);
    staying->setAttribute(Qt::WA_DeleteOnClose);
    closing->show();
    staying->show();
    const ParameterInfo feedback = named(*delay, "feedback");  // a copy: the unit goes before the test ends
    for (int i = 0; i < 200; ++i) control<QSlider>(*closing, feedback)->setValue(i * 5);
    run_events(50);
    closing->close();
    delay.reset();  // the windows and the graph hold it now
    run_events(50);
    EXPECT_EQ(au_windows().size(), 1u);

    graph.clear();
    run_events(100);
    EXPECT_TRUE(staying->gone());
    EXPECT_TRUE(staying->findChild<QLabel*>("gone")->isVisible());
    EXPECT_FALSE(control<QSlider>(*staying, feedback)->isEnabled());
    close_au_windows();
    run_events(50);
    EXPECT_TRUE(au_windows().empty());
    running = false;
    render_thread.join();
}

TEST_F(AUWindowTest, OpenerFloatsReusesAndUsesTheUnitsOwnEditor) {
    Graph& engine = AUHost::singleton().graph();
    const int node = engine.add(make("aufx", "lpas"));
    Preferences preferences;
    preferences.preferences().as_dict()->set("floating_auview", true);
    EXPECT_FALSE(open_au_window(engine.node_count() + 1, preferences));
    ASSERT_TRUE(open_au_window(node, preferences));
    ASSERT_TRUE(open_au_window(node, preferences));  // brings the same window forward
    ASSERT_EQ(au_windows().size(), 1u);
    EXPECT_TRUE(au_windows()[0]->windowFlags() & Qt::WindowStaysOnTopHint);

    const ComponentDescription& d = engine.unit(node)->description();
    register_unit_editor(d.type, d.subtype, d.manufacturer,
                         [](const std::shared_ptr<Unit>&, QWidget* parent) { return new QLabel("own", parent); });
    ASSERT_TRUE(open_au_window(node, preferences));  // the generic window is another kind: a second window
    ASSERT_EQ(au_windows().size(), 2u);
    EXPECT_FALSE(au_windows()[1]->generic());
    EXPECT_EQ(au_windows()[1]->windowTitle(), QString::fromStdString(d.name));
    close_au_windows();
    run_events(50);
    EXPECT_TRUE(au_windows().empty());
}

}  // namespace
}  // namespace omb
