// What the unit-window tests share: running Qt's events for a while, and one buffer of the render thread's work on
// a unit alone.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <vector>

#include "audio/au_host.h"
#include "audio/unit.h"

namespace omb::test {

inline void run_events(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // closed windows, deleted
}

// Silence in, the events due by now applied.
inline void render(Unit& unit) {
    std::vector<float> samples(256 * 2 * static_cast<size_t>(unit.input_buses() + 1), 0.0f);
    std::vector<float*> pointers;
    for (size_t i = 0; i < samples.size(); i += 256) pointers.push_back(&samples[i]);
    std::vector<BusBuffer> inputs;
    for (int b = 0; b < unit.input_buses(); ++b) inputs.push_back({&pointers[size_t(b) * 2], unit.input_channels(b)});
    BusBuffer out{&pointers[size_t(unit.input_buses()) * 2], unit.output_channels()};
    unit.render(inputs.data(), out, 256, static_cast<int64_t>(AUHost::TIME.load()));
}

}  // namespace omb::test
