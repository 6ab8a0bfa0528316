// Shared pieces of the interpreter tests: an instance per test, a temporary file, and an object that counts its end.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "interpreter/scheme_private.h"
#include "platform/objects/object.h"
#include "tests/support/log_capture.h"

namespace omb::test {

// A platform object that records its destruction, so a test sees when and how often the collector released it.
class Counted : public Object {
public:
    explicit Counted(int* destroyed, std::string text = "counted") : destroyed_(destroyed), text_(std::move(text)) {}
    ~Counted() override { ++*destroyed_; }
    std::string description() const override { return text_; }

private:
    int* destroyed_;
    std::string text_;
};

// A file that exists for the length of a test, holding `text`.
struct TempFile {
    std::string path = "/tmp/ombrel-interp-XXXXXX";
    explicit TempFile(const std::string& text = "") {
        close(mkstemp(path.data()));
        std::ofstream(path) << text;
    }
    ~TempFile() { unlink(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string contents() const {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

// One interpreter for the length of a test, reading from text it is fed and printing into a buffer of its own.
class Interp {
public:
    // Takes over an instance made elsewhere (on a custom allocator, say) or makes one.
    explicit Interp(scheme* made = scheme_init_new()) : sc(made) {}
    ~Interp() {
        if (sc) {
            scheme_deinit(sc);
            std::free(sc);
        }
    }
    Interp(const Interp&) = delete;
    Interp& operator=(const Interp&) = delete;

    // Makes `text` the current input; the interpreter reads it in place, so the copy lives here.
    void feed(std::string text) {
        inputs_.push_back(std::move(text));
        std::string& in = inputs_.back();
        scheme_set_input_port_string(sc, in.data(), in.data() + in.size());
    }

    pointer read() { return scheme_read(sc); }
    // The first datum of `text`, which must read without an error.
    pointer read(const std::string& text) {
        feed(text);
        pointer x = read();
        EXPECT_EQ(sc->retcode, 0) << "reading " << text;
        return x;
    }

    // Points the output at a fresh zeroed buffer; `output()` gives what has been written since.
    void start_output(size_t capacity = 1 << 16) {
        out_.assign(capacity, 0);
        scheme_set_output_port_string(sc, out_.data(), out_.data() + out_.size());
    }
    std::string output() const {
        const port* p = portvalue(sc->outport);
        return std::string(p->rep.string.start, p->rep.string.curr);
    }

    std::string print(pointer x, bool write = true, size_t capacity = 1 << 16) {
        start_output(capacity);
        scheme_print(sc, x, write);
        return output();
    }

    // Loads `text`: the last value printed, or after an error the output with its report.
    std::string eval(const std::string& text) {
        start_output();
        scheme_load_string(sc, text.c_str());
        return sc->retcode == 0 ? print(sc->value) : output();
    }

    std::string roundtrip(const std::string& text, bool write = true) { return print(read(text), write); }

    scheme* sc;

private:
    std::deque<std::string> inputs_;  // never moves an element, so older ports stay valid
    std::vector<char> out_;
};

inline void collect(scheme* sc) { gc(sc, sc->NIL, sc->NIL); }

// The global value of `name`, or nullptr when it has none.
inline pointer global(scheme* sc, const char* name) {
    pointer slot = find_slot_in_env(sc, sc->global_env, mk_symbol(sc, name), 0);
    return slot == sc->NIL ? nullptr : slot_value_in_env(slot);
}

// A test with one instance and the log it writes to.
class InterpTest : public ::testing::Test {
protected:
    int destroyed = 0;  // for Counted objects: outlives the instance, whose end releases them
    LogCapture log;
    Interp in;
    scheme* sc = in.sc;
};

}  // namespace omb::test
