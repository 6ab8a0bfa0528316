// `ombrel --render` run as a program: a piece rendered to a file, every note on its exact sample, the same file
// every time, and clear failures for a piece that does not load or a file that cannot be written.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sound_files.h"

namespace {

namespace fs = std::filesystem;
using omb::test::read_left;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome ombrel(const std::string& args, const fs::path& dir) {
    const fs::path out = dir / "out.txt";
    const std::string command = std::string(OMBREL_BIN) + " " + args + " > " + out.string() + " 2>&1";
    Outcome r;
    const int status = std::system(command.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    r.output = text.str();
    return r;
}

std::string bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t first_sound(const std::vector<float>& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] != 0.0f) return i;
    return s.size();
}

class Render : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ombrel-render-test-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path piece(const std::string& text) {
        const fs::path p = dir / "piece.scm";
        std::ofstream(p) << text;
        return p;
    }
    fs::path dir;
};

TEST_F(Render, NotesLandOnTheirSamplesAndEveryRenderIsTheSame) {
    // A sound file for the sampler: its first sample is loud, so its arrival is exact.
    const fs::path hit = dir / "hit.wav";
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(hit.c_str(), SFM_WRITE, &info);
        std::vector<float> frames(2000, 0.25f);
        frames[0] = 0.9f;
        sf_writef_float(f, frames.data(), static_cast<sf_count_t>(frames.size()));
        sf_close(f);
    }
    const fs::path p = piece("(define synth (au:make-synth)) (au:to-output synth)\n"
                             "(play-pitch 1000 synth 69 100 4410)\n"
                             "(define sampler (au:make-sampler)) (au:sampler-load sampler \"" + hit.string() +
                             "\")\n(define mix (au:make-mixer)) (au:disconnect-node *au:output-node* 0)\n"
                             "(au:connect-node synth 0 mix 0) (au:connect-node sampler 0 mix 1) (au:to-output mix)\n"
                             "(play-note 30000 sampler 60 127 5000)\n");
    const Outcome first = ombrel("--render " + p.string() + " --seconds 1 --out " + (dir / "a.wav").string(), dir);
    ASSERT_EQ(first.status, 0) << first.output;
    int rate = 0, channels = 0;
    const auto a = read_left(dir / "a.wav", &rate, &channels);
    ASSERT_EQ(a.size(), static_cast<size_t>(rate)) << "one second, frame for frame";
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(first_sound(a), 1000u) << "the synth's note starts on its sample";
    // The sampler's first sample arrives at 30000 on top of the synth, which has ended by then.
    EXPECT_EQ(first_sound(std::vector<float>(a.begin() + 20000, a.end())), 10000u);
    EXPECT_GT(std::fabs(a[30000]), 0.2f);

    const Outcome second = ombrel("--render " + p.string() + " --seconds 1 --out " + (dir / "b.aif").string(), dir);
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(read_left(dir / "b.aif"), a) << "the same piece renders the same samples";
    // And the same bytes, a second or more later: nothing in the file says when it was written.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Outcome third = ombrel("--render " + p.string() + " --seconds 1 --out " + (dir / "c.wav").string(), dir);
    ASSERT_EQ(third.status, 0) << third.output;
    EXPECT_EQ(bytes(dir / "c.wav"), bytes(dir / "a.wav"));
}

// Speech is synthesised on a thread of its own; a render waits for it, and the voice starts on its task's frame, so
// the file is the same every time.
TEST_F(Render, SpeechIsInTheFileTheSameEveryTime) {
    const fs::path p = piece("(define voice (au:get-speech-channel))\n"
                             "(schedule 4410 *au:set-speech-info* voice \"rate\" 300)\n"
                             "(schedule 4410 *au:speak-string* voice \"one two three\")\n");
    for (const char* out : {"s1.wav", "s2.wav"}) {
        const Outcome r = ombrel("--render " + p.string() + " --seconds 2 --out " + (dir / out).string(), dir);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    const auto s = read_left(dir / "s1.wav");
    const size_t first = first_sound(s);
    ASSERT_LT(first, s.size()) << "the voice is heard";
    EXPECT_GE(first, 4410u) << "not before its task's frame";
    EXPECT_LT(first, 4410u + 2048u);
    EXPECT_EQ(bytes(dir / "s2.wav"), bytes(dir / "s1.wav"));
}

TEST_F(Render, FailuresSayWhy) {
    const fs::path good = piece("(define x 1)");
    Outcome r = ombrel("--render " + (dir / "missing.scm").string() + " --seconds 1 --out " + (dir / "o.wav").string(),
                   dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cannot read the piece"), std::string::npos) << r.output;

    r = ombrel("--render " + piece("(define (f x) (+ x 1)").string() + " --seconds 1 --out " +
                   (dir / "o.wav").string(),
               dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("the piece did not load"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "o.wav"));

    std::ofstream(dir / "taken.wav") << "x";
    r = ombrel("--render " + piece("(define x 1)").string() + " --seconds 1 --out " + (dir / "taken.wav").string(),
               dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("This file already exists"), std::string::npos) << r.output;

    r = ombrel("--render " + good.string() + " --out " + (dir / "o.wav").string(), dir);
    EXPECT_EQ(r.status, 2) << "no --seconds";
}

}  // namespace
