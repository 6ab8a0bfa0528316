// Feeds arbitrary bytes to the Scheme reader and prints every datum back in write and display form: whatever a
// performer types or loads must end in a value or a reported error, never in a crash, a hang or a leak.
//
// One instance serves many inputs. A fresh one per input costs about ten milliseconds under the sanitizers (three
// new segments to fault in) and held the fuzzer near a hundred runs a second; collecting after every input still
// left it near four hundred. Reused, it runs at about three thousand, and the collections that now fall in the middle
// of a read, wherever the free list runs dry, are the ones worth exercising. What an input leaves behind is its
// interned symbols, so the instance is replaced once they have made it grow, and every few thousand inputs anyway.
// libFuzzer's own leak check gives up on a target that keeps memory between inputs, so the harness looks for
// leaks itself each time it destroys an instance: by then every block the instance allocated must be gone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sanitizer/lsan_interface.h>
#include <vector>

#include "interpreter/scheme_private.h"

namespace {

// Enough for a long input to be read to its end; an input that somehow never advances still stops.
constexpr int MAX_DATA_PER_INPUT = 10000;
// The output port keeps what fits and drops the rest, so a bounded buffer also exercises that cut-off.
constexpr size_t OUTPUT_BYTES = 4096;

// An instance starts with three segments; more means a pile of interned symbols or a busy input.
constexpr int RENEW_AFTER_SEGMENTS = 12;
constexpr int RENEW_AFTER_INPUTS = 5000;
// Beside the collections a read triggers, one now and then at a quiet moment; after every input costs too much.
constexpr int COLLECT_EVERY = 32;

char output[OUTPUT_BYTES];

void destroy(omb::scheme* sc, int inputs) {
    omb::scheme_deinit(sc);
    std::free(sc);
    if (__lsan_do_recoverable_leak_check() != 0) {
        std::fprintf(stderr, "fuzz_reader: memory leaked by one of the last %d inputs\n", inputs);
        std::abort();
    }
}

omb::scheme* instance() {
    static omb::scheme* sc = nullptr;
    static int inputs = 0;
    if (sc && (sc->last_cell_seg + 1 > RENEW_AFTER_SEGMENTS || sc->no_memory || inputs >= RENEW_AFTER_INPUTS)) {
        destroy(sc, inputs);
        sc = nullptr;
    }
    if (!sc) {
        sc = omb::scheme_init_new();
        inputs = 0;
    }
    if (!sc) std::abort();
    ++inputs;
    return sc;
}

// The input text dies with this run: no port may point into it once the run is over.
void finish_input(omb::scheme* sc) {
    sc->inport = sc->NIL;
    sc->outport = sc->NIL;
    sc->value = sc->NIL;
    static int runs = 0;
    if (++runs % COLLECT_EVERY == 0) omb::gc(sc, sc->NIL, sc->NIL);
}

const char* read_position(omb::scheme* sc) { return omb::portvalue(sc->inport)->rep.string.curr; }

void print_both_forms(omb::scheme* sc, omb::pointer datum) {
    for (bool write : {true, false}) {
        omb::scheme_set_output_port_string(sc, output, output + OUTPUT_BYTES);
        omb::scheme_print(sc, datum, write);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The string port stops at a NUL as well as at its end, as it does for text from the editor.
    std::vector<char> text(data, data + size);
    text.push_back('\0');

    omb::scheme* sc = instance();
    omb::scheme_set_output_port_string(sc, output, output + OUTPUT_BYTES);
    omb::scheme_set_input_port_string(sc, text.data(), text.data() + size);

    for (int n = 0; n < MAX_DATA_PER_INPUT; ++n) {
        const char* before = read_position(sc);
        omb::pointer datum = omb::scheme_read(sc);
        bool failed = sc->retcode != 0;
        if (!failed && datum == sc->EOF_OBJ) break;
        // Every read, good or bad, must consume input: otherwise a REPL reading this text would spin for ever.
        if (read_position(sc) == before) std::abort();
        if (!failed) print_both_forms(sc, datum);
    }

    finish_input(sc);
    return 0;
}
