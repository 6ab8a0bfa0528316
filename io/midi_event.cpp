// The events' one-line descriptions and their MIDI bytes.
#include "io/midi_event.h"

#include <cstdio>

namespace omb {

namespace {

// "Name(00N): [time = T][midiChannel = C]", the common head of every channel event's line.
void print_head(const char* name, int id, long time, int channel) {
    std::printf("%s(%03d): [time = %ld][midiChannel = %d]", name, id, time, channel);
}

int status(int base, uint8_t channel) { return base + (channel & 0x0F); }

int put(EventBytes& out, int a, int b) {
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(b);
    return 2;
}

int put(EventBytes& out, int a, int b, int c) {
    put(out, a, b);
    out[2] = static_cast<uint8_t>(c);
    return 3;
}

}  // namespace

void ATouch::print() const {
    print_head("After Touch", id, getTime(), channel);
    std::printf("[pitch = %d][pressure = %d]\n", pitch, pressure);
}
int ATouch::data(EventBytes& out) const { return put(out, status(0xA0, channel), pitch, pressure); }

void CPres::print() const {
    print_head("Channel Pressure", id, getTime(), channel);
    std::printf("[pressure = %d]\n", pressure);
}
int CPres::data(EventBytes& out) const { return put(out, status(0xD0, channel), pressure); }

void CChange::print() const {
    print_head("Control Change", id, getTime(), channel);
    std::printf("[controller_num = %d][value = %d]\n", controller, value);
}
int CChange::data(EventBytes& out) const { return put(out, status(0xB0, channel), controller, value); }

void NoteOff::print() const {
    print_head("Note Off", id, getTime(), channel);
    std::printf("[pitch = %d][velocity = %d]\n", pitch, velocity);
}
int NoteOff::data(EventBytes& out) const { return put(out, status(0x80, channel), pitch, velocity); }

void NoteOn::print() const {
    print_head("Note On", id, getTime(), channel);
    std::printf("[pitch = %d][velocity = %d]\n", pitch, velocity);
}
int NoteOn::data(EventBytes& out) const { return put(out, status(0x90, channel), pitch, velocity); }

void PWheel::print() const {
    print_head("Pitch Wheel", id, getTime(), channel);
    std::printf("[value = %d]\n", value);
}
int PWheel::data(EventBytes& out) const { return put(out, status(0xE0, channel), value); }

void PChange::print() const {
    print_head("Program Change", id, getTime(), channel);
    std::printf("[value = %d]\n", program);
}
int PChange::data(EventBytes& out) const { return put(out, status(0xC0, channel), program); }

int Tempo::bpm() const { return tempo != 0 ? 60000000 / tempo : 0; }

void Tempo::print() const { std::printf("Tempo(%03d): [time = %ld][temp(bpm) = %d\n", id, getTime(), bpm()); }
int Tempo::data(EventBytes& out) const { return put(out, 0x51, bpm() & 0xFF); }

}  // namespace omb
