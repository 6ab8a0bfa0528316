// The tests' own X11 UI for the gate plugin: a child window of the host's ui:parent that writes 0.25 to "level"
// when it is made and keeps what the host tells it in its window's name ("level=1.5 notes=3"), which a test reads
// back from the X server. Told a level of 1.75, it makes an X request that fails (a window that does not exist),
// which must not end the host. It refuses to start when OMBREL_TEST_UI_REFUSE is set (a UI that fails to load) or when
// the host gives no parent, resize or URID map.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kLevel = 2, kNotes = 3;

struct TestUi {
    Display* display = nullptr;
    Window window = 0;
    float level = -1, notes = -1;
    int port_events = 0;
};

void show(TestUi& ui) {
    char name[128];
    std::snprintf(name, sizeof name, "level=%g notes=%g events=%d", static_cast<double>(ui.level),
                  static_cast<double>(ui.notes), ui.port_events);
    XStoreName(ui.display, ui.window, name);
    XFlush(ui.display);
}

const void* feature(const LV2_Feature* const* features, const char* uri) {
    for (int i = 0; features && features[i]; ++i)
        if (std::strcmp(features[i]->URI, uri) == 0) return features[i]->data ? features[i]->data : features[i];
    return nullptr;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char*, const char*, LV2UI_Write_Function write,
                         LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
    const void* parent = feature(features, LV2_UI__parent);
    const auto* resize = static_cast<const LV2UI_Resize*>(feature(features, LV2_UI__resize));
    const auto* map = static_cast<const LV2_URID_Map*>(feature(features, LV2_URID__map));
    if (std::getenv("OMBREL_TEST_UI_REFUSE") || !parent || !resize || !map) return nullptr;
    // The host's map is the process's: the same URI is the same number every time.
    if (map->map(map->handle, LV2_UI__X11UI) != map->map(map->handle, LV2_UI__X11UI)) return nullptr;
    auto* ui = new TestUi;
    ui->display = XOpenDisplay(nullptr);
    if (!ui->display) {
        delete ui;
        return nullptr;
    }
    const auto parent_window = static_cast<Window>(reinterpret_cast<uintptr_t>(parent));
    ui->window = XCreateSimpleWindow(ui->display, parent_window, 0, 0, 160, 48, 0, 0, 0x336699);
    XMapWindow(ui->display, ui->window);
    show(*ui);
    resize->ui_resize(resize->handle, 160, 48);
    *widget = reinterpret_cast<LV2UI_Widget>(static_cast<uintptr_t>(ui->window));
    const float level = 0.25f;
    write(controller, kLevel, sizeof level, 0, &level);
    return ui;
}

void cleanup(LV2UI_Handle handle) {
    auto* ui = static_cast<TestUi*>(handle);
    XDestroyWindow(ui->display, ui->window);
    XCloseDisplay(ui->display);
    delete ui;
}

void port_event(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
    auto* ui = static_cast<TestUi*>(handle);
    if (format != 0 || size != sizeof(float)) return;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    if (port == kLevel) ui->level = value;
    if (port == kLevel && value == 1.75f) {
        XMapWindow(ui->display, static_cast<Window>(0x1fffff));  // no such window: BadWindow
        XSync(ui->display, False);
    }
    if (port == kNotes) ui->notes = value;
    ++ui->port_events;
    show(*ui);
}

int idle(LV2UI_Handle handle) {
    auto* ui = static_cast<TestUi*>(handle);
    while (XPending(ui->display)) {
        XEvent event;
        XNextEvent(ui->display, &event);
    }
    return 0;
}

const void* extension_data(const char* uri) {
    static const LV2UI_Idle_Interface idle_interface = {idle};
    return std::strcmp(uri, LV2_UI__idleInterface) == 0 ? &idle_interface : nullptr;
}

const LV2UI_Descriptor kDescriptor = {"urn:ombrel:test:gate#ui", instantiate, cleanup, port_event, extension_data};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
