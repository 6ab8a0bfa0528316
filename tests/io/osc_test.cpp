// OSC in both directions: the exact calls that received messages become, hostile and cut datagrams, bursts, the
// listening address, and real peers (liblo's oscsend and oscdump) on loopback through a real process.
#include <ifaddrs.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>

#include "io/osc.h"
#include "io/osc_decode.h"
#include "io/osc_encode.h"
#include "io/osc_scheme.h"
#include "tests/runtime/process_support.h"
#include "tests/support/jack_server.h"

namespace omb::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A UDP socket of the test's own: raw datagrams out, and (bound) what the program sends in.
class Udp {
public:
    Udp() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Udp() { ::close(fd_); }
    int bind_loopback() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    void send(int port, const Bytes& bytes, const char* host = "127.0.0.1") {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, host, &to.sin_addr);
        ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::optional<Bytes> receive(std::chrono::milliseconds limit = 5s) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        Bytes buffer(70000);
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }

private:
    int fd_;
};

Bytes raw(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes message(std::string_view address, const std::function<void(OscMessageWriter&)>& arguments = {}) {
    OscMessageWriter w;
    if (arguments) arguments(w);
    return w.packet(address);
}

Bytes bundle(const std::vector<Bytes>& elements) {
    Bytes b = raw(std::string_view("#bundle\0\0\0\0\0\0\0\0\1", 16));
    for (const Bytes& e : elements) b = b + be32(static_cast<uint32_t>(e.size())) + e;
    return b;
}

// Decodes an exactly sized copy, so that any read past the end is caught by the address sanitizer.
OscDecoded decode(const Bytes& datagram, bool cut = false) {
    const Bytes exact(datagram);
    OscDecoded out;
    decode_osc_datagram(exact.data(), exact.size(), cut, out);
    return out;
}

std::string only_text(const Bytes& datagram) {
    OscDecoded d = decode(datagram);
    EXPECT_EQ(d.problem, "");
    return d.calls.size() == 1 ? d.calls[0].text : "<" + std::to_string(d.calls.size()) + " calls>";
}

TEST(OscDecode, CallTextsForEveryTagWithPaddingAndEscapes) {
    EXPECT_EQ(only_text(message("/a", [](auto& w) { w.add_int(1), w.add_float(0.5f), w.add_string("x"); })),
              "(io:osc-receive \"/a\" 1 0.5 \"x\")");
    EXPECT_EQ(only_text(message("/a", [](auto& w) {
                  w.add_int(1), w.open_array(), w.add_float(0.5f), w.add_float(0.25f), w.close_array();
              })),
              "(io:osc-receive \"/a\" 1 (list  0.5 0.25))");
    EXPECT_EQ(only_text(message("/n", [](auto& w) {
                  w.open_array(), w.open_array(), w.add_int(-7), w.close_array(), w.close_array(), w.open_array(),
                      w.close_array(), w.add_int64(-5000000000);
              })),
              "(io:osc-receive \"/n\" (list  (list  -7)) (list ) -5000000000)");
    EXPECT_EQ(only_text(message("/f", [](auto& w) {
                  w.add_float(1e10f), w.add_float(1.0f / 3), w.add_float(100.0f), w.add_float(-1e-5f),
                      w.add_float(std::bit_cast<float>(0x7f800000u)), w.add_float(std::bit_cast<float>(0xff800000u));
              })),
              "(io:osc-receive \"/f\" 1e+10 0.333333 100 -1e-05 1e+999 -1e+999)");
    // Whatever a string holds, the text escapes it: the datagram cannot end the literal early.
    EXPECT_EQ(only_text(message("/q\"uo\\te)", [](auto& w) { w.add_string("\") (set! pwned #t) (\\"); })),
              "(io:osc-receive \"/q\\\"uo\\\\te)\" \"\\\") (set! pwned #t) (\\\\\")");
    // Some old senders leave the type tags out: a call without arguments.
    EXPECT_EQ(only_text(raw(std::string_view("/old\0\0\0\0", 8))), "(io:osc-receive \"/old\")");

    // Padding: an address or string whose length is a multiple of four is followed by four zero bytes.
    const Bytes padded = message("/abc", [](auto& w) { w.add_string("abcd"), w.add_int(7); });
    EXPECT_EQ(padded, raw(std::string_view("/abc\0\0\0\0,si\0abcd\0\0\0\0\0\0\0\7", 24)));
    EXPECT_EQ(only_text(padded), "(io:osc-receive \"/abc\" \"abcd\" 7)");

    // A blob is a data object named by its address; the bytes after it are found past its padding.
    const uint8_t five[] = {1, 2, 3, 4, 5};
    OscDecoded blob = decode(message("/b", [&](auto& w) { w.add_blob(five, 5), w.add_int(9); }));
    ASSERT_EQ(blob.calls.size(), 1u);
    ASSERT_EQ(blob.calls[0].blobs.size(), 1u);
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(blob.calls[0].blobs[0].get()));
    EXPECT_EQ(blob.calls[0].text, "(io:osc-receive \"/b\" \"" + std::string(address) + "\" 9)");
    EXPECT_EQ(blob.calls[0].blobs[0]->bytes(), Bytes(five, five + 5));
    EXPECT_EQ(blob.calls[0].blobs[0]->description(), "<01020304 05>");

    // Bundles: each element with only its own tags, in order; bundles inside bundles too.
    OscDecoded b = decode(bundle({message("/one", [](auto& w) { w.add_int(1); }),
                                  bundle({message("/two", [](auto& w) { w.add_string("s"); })}),
                                  message("/three")}));
    EXPECT_EQ(b.problem, "");
    ASSERT_EQ(b.calls.size(), 3u);
    EXPECT_EQ(b.calls[0].text, "(io:osc-receive \"/one\" 1)");
    EXPECT_EQ(b.calls[1].text, "(io:osc-receive \"/two\" \"s\")");
    EXPECT_EQ(b.calls[2].text, "(io:osc-receive \"/three\")");
    // Only the exact marker makes a bundle.
    EXPECT_EQ(only_text(message("/x#bundle")), "(io:osc-receive \"/x#bundle\")");
}

TEST(OscDecode, HostileDatagramsAreDroppedWithTheirReason) {
    const std::string tags17 = "," + std::string(17, '[') + std::string(17, ']');
    const Bytes good = message("/good", [](auto& w) { w.add_int(1); });
    struct Case {
        const char* what;
        Bytes datagram;
        std::string problem;
        size_t calls = 0;
    } cases[] = {
        {"empty", {}, "address not terminated"},
        {"unterminated address", raw("/abc"), "address not terminated"},
        {"unterminated tags", raw(std::string_view("/a\0\0,iii", 8)), "type tags not terminated"},
        {"tags without comma", raw(std::string_view("/a\0\0iii\0", 8)), "type tags do not begin with ','"},
        {"lying blob size", raw(std::string_view("/a\0\0,b\0\0", 8)) + be32(0xfffffff0u) + be32(0),
         "blob of 4294967280 bytes runs past the end of the message"},
        {"short integer", raw(std::string_view("/a\0\0,ii\0", 8)) + be32(1), "argument runs past the end"},
        {"short 64-bit integer", raw(std::string_view("/a\0\0,h\0\0", 8)) + be32(1), "argument runs past the end"},
        {"huge count of tags, no data", {}, "argument runs past the end"},
        {"unterminated string", raw(std::string_view("/a\0\0,s\0\0abcd", 12)), "string argument not terminated"},
        {"unknown tag", message("/a", [](auto& w) { w.add_int(1); }), OSC_BAD_TYPE},
        {"close without open", raw(std::string_view("/a\0\0,]\0\0", 8)), "']' without '['"},
        {"open not closed", raw(std::string_view("/a\0\0,[i\0", 8)) + be32(1), "'[' not closed"},
        {"arrays too deep", raw(std::string_view("/a\0", 4)) + raw(tags17) + Bytes(4 - tags17.size() % 4, 0),
         "arrays nested deeper than 16"},
        {"not a number", raw(std::string_view("/a\0\0,f\0\0", 8)) + be32(0x7fc00000u), "not a number"},
        {"bundle without time tag", raw(std::string_view("#bundle\0\0\0\0\0", 12)), "no time tag"},
        {"lying element size", bundle({good}) + be32(0x7fffffffu) + good,
         "element of 2147483647 bytes runs past the end of the bundle", 1},
        {"element size cut short", bundle({good}) + Bytes{0, 0}, "element size cut short", 1},
        {"bad element ends the bundle", bundle({good, raw("/bad"), good}), "address not terminated", 1},
        {"bundles too deep", bundle({bundle({bundle({bundle({bundle({bundle({bundle({bundle({bundle({good})})})})})})})})}),
         "bundles nested deeper than 8"},
    };
    // The unknown tag and the tag count: rewrite real messages' tag strings.
    cases[7].datagram = raw(std::string_view("/a\0\0,", 5)) + Bytes(239, 'i') + Bytes{0};
    cases[9].datagram[5] = 'd';
    for (const Case& c : cases) {
        OscDecoded d = decode(c.datagram);
        EXPECT_NE(d.problem.find(c.problem), std::string::npos) << c.what << ": " << d.problem;
        EXPECT_EQ(d.calls.size(), c.calls) << c.what;
        for (const OscCall& call : d.calls) EXPECT_EQ(call.text, "(io:osc-receive \"/good\" 1)") << c.what;
    }
    // Sixteen levels of arrays are still fine.
    const std::string tags16 = "," + std::string(16, '[') + std::string(16, ']');
    EXPECT_EQ(decode(raw(std::string_view("/a\0", 4)) + raw(tags16) + Bytes(4 - tags16.size() % 4, 0)).problem, "");
}

TEST(OscDecode, CutDatagramKeepsOnlyWholeArguments) {
    // 80 bytes of address and tags, then 70 integers: 44 of them fit in 256 bytes.
    const Bytes ints = message("/cut", [](auto& w) {
        for (int i = 0; i < 70; ++i) w.add_int(i);
    });
    OscDecoded d = decode(ints);  // longer than the limit: cut whatever the caller says
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_TRUE(d.calls[0].text.ends_with(" 42 43)")) << d.calls[0].text;
    EXPECT_NE(d.problem.find("cut to 256"), std::string::npos);

    const Bytes array = message("/cut", [](auto& w) {
        w.open_array();
        for (int i = 0; i < 60; ++i) w.add_float(1.5f);
        w.close_array();
    });
    d = decode(Bytes(array.begin(), array.begin() + 256), true);
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_TRUE(d.calls[0].text.ends_with(" 1.5 1.5))")) << "the open array is closed: " << d.calls[0].text;

    const Bytes strings = message("/s", [](auto& w) { w.add_string(std::string(120, 'a')), w.add_string(std::string(200, 'b')); });
    d = decode(strings);
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_EQ(d.calls[0].text, "(io:osc-receive \"/s\" \"" + std::string(120, 'a') + "\")") << "the cut string is left out";

    d = decode(raw("/") + Bytes(300, 'x'));
    EXPECT_TRUE(d.calls.empty()) << "cut inside the address: nothing to deliver";
    EXPECT_NE(d.problem.find("cut to 256"), std::string::npos);
}

// An inbox that records what it is handed, and can hold calls back as a process that falls behind does.
struct RecordingInbox : OscInbox {
    bool ready() override { return open; }
    void take(OscCall call) override {
        std::lock_guard lock(mutex);
        texts.push_back(std::move(call.text));
    }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return texts;
    }
    std::atomic<bool> open{true};
    std::mutex mutex;
    std::vector<std::string> texts;
};

Bytes numbered(int k) {
    return message("/n", [k](auto& w) { w.add_int(k); });
}

TEST(OscServer, BurstIsReadOnWhileSchemeIsBehindAndDropsTheOldestOnce) {
    LogCapture log;
    RecordingInbox inbox;
    inbox.open = false;
    OscServer::Options options;
    options.backlog = 100;
    options.burst = std::chrono::minutes(1);
    OscServer server("127.0.0.1", 0, inbox, options);
    ASSERT_TRUE(server.bound());
    ASSERT_TRUE(server.start());
    Udp peer;
    constexpr int total = 3000;
    for (int k = 0; k < total; ++k) {
        peer.send(server.port(), numbered(k));
        // Paced so that the kernel's buffer never overflows: every datagram reaches the server.
        if (k % 100 == 99) {
            ASSERT_TRUE(eventually([&] { return server.stats().datagrams == uint64_t(k + 1); }));
        }
    }
    EXPECT_EQ(server.stats().dropped, uint64_t(total - 100)) << "the backlog stays within its limit";
    EXPECT_TRUE(inbox.taken().empty());
    EXPECT_FALSE(log.saw(log.notes, "dropped the", 0ms)) << "reported when the burst ends";
    inbox.open = true;
    ASSERT_TRUE(eventually([&] { return inbox.taken().size() == 100; }));
    const auto texts = inbox.taken();
    EXPECT_EQ(texts.front(), "(io:osc-receive \"/n\" 2900)");
    EXPECT_EQ(texts.back(), "(io:osc-receive \"/n\" 2999)");
    EXPECT_TRUE(log.saw(log.notes, "OSC input came faster than Scheme took it: dropped the 2900 oldest messages"));
    peer.send(server.port(), numbered(total));
    ASSERT_TRUE(eventually([&] { return inbox.taken().size() == 101; }));
    log.flush();
    size_t notices = 0;
    for (const auto& n : log.notes) notices += n.find("dropped the") != std::string::npos;
    EXPECT_EQ(notices, 1u) << "one notification per burst";

    // A flood of hostile datagrams: a few reports one by one, the rest counted.
    log.clear();
    for (int k = 0; k < 50; ++k) peer.send(server.port(), raw("/bad"));
    ASSERT_TRUE(eventually([&] { return server.stats().problems == 50; }));
    server.stop();
    log.flush();
    int one_by_one = 0, counted = 0;
    for (const auto& e : log.errors) {
        if (e.find("address not terminated") != std::string::npos) ++one_by_one;
        if (auto at = e.find(" more OSC datagrams were not delivered whole"); at != std::string::npos)
            counted += std::stoi(e.substr(std::strlen(":ERROR: ")));
    }
    EXPECT_LE(one_by_one, 40) << "20 a second";
    EXPECT_EQ(one_by_one + counted, 50);
}

// An IPv4 address of this machine that is not loopback; empty when it has none.
std::string outside_address() {
    ifaddrs* list = nullptr;
    std::string found;
    if (::getifaddrs(&list) != 0) return found;
    for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        found = ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    ::freeifaddrs(list);
    return found;
}

TEST(OscServer, ListensOnLoopbackUnlessOpenedAndSaysWhyItCannot) {
    LogCapture log;
    const std::string outside = outside_address();
    if (outside.empty()) GTEST_SKIP() << "no address but loopback";
    RecordingInbox inbox;
    Udp peer;
    OscServer local("127.0.0.1", 0, inbox);
    ASSERT_TRUE(local.start());
    peer.send(local.port(), numbered(1), outside.c_str());
    peer.send(local.port(), numbered(2));
    ASSERT_TRUE(eventually([&] { return !inbox.taken().empty(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(inbox.taken(), std::vector<std::string>{"(io:osc-receive \"/n\" 2)"}) << "loopback only";

    OscServer open("0.0.0.0", 0, inbox);
    ASSERT_TRUE(open.start());
    peer.send(open.port(), numbered(3), outside.c_str());
    ASSERT_TRUE(eventually([&] { return inbox.taken().size() == 2; }));

    OscServer taken("127.0.0.1", local.port(), inbox);
    EXPECT_FALSE(taken.bound());
    EXPECT_FALSE(taken.start());
    EXPECT_TRUE(log.saw(log.errors, "OSC server could not listen on 127.0.0.1 port " + std::to_string(local.port())));
    OscServer nowhere("no-such-host.invalid", 0, inbox);
    EXPECT_FALSE(nowhere.bound());
}

// ---- through a real process ------------------------------------------------------------------------------------

// liblo's oscsend, run to its end.
int oscsend(std::vector<std::string> args) {
    args.insert(args.begin(), {"oscsend", "127.0.0.1", std::to_string(OSC::PORT.load())});
    const pid_t pid = spawn(args, "/dev/null");
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The process's OSC server listens on a port of the test's own.
class OscEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        OSC::PORT = free_port();
        add_native_library(osc_scheme_init);
    }
};

class OscProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
        EXPECT_EQ(c.eval("(io:osc-register-events)"), "NIL");
        c.eval("(define received '())");
        c.eval("(define (io:osc-receive address . args) (set! received (cons (cons address args) received)))");
    }
    void TearDown() override { clear_scheduler(); }
    bool received(size_t n) {
        return eventually([&] { return c.eval("(length received)") == std::to_string(n); });
    }
    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

TEST_F(OscProcess, MessagesFromOscsendReachTheHandlerAsSent) {
    c.eval("(define pwned #f)");
    ASSERT_EQ(oscsend({"/a/b", "ifsh", "1", "0.5", "x\") (set! pwned #t) (\\", "-5000000000"}), 0);
    ASSERT_TRUE(received(1));
    EXPECT_EQ(c.eval("(equal? (car received) (list \"/a/b\" 1 0.5 \"x\\\") (set! pwned #t) (\\\\\" -5000000000))"),
              "#t")
        << c.eval("(car received)");
    EXPECT_EQ(c.eval("pwned"), "#f");
    ASSERT_EQ(oscsend({"/q\"uote)", "s", ""}), 0);
    ASSERT_TRUE(received(2));
    EXPECT_EQ(c.eval("(equal? (car received) (list \"/q\\\"uote)\" \"\"))"), "#t");
    ASSERT_EQ(oscsend({"/d", "d", "0.5"}), 0);
    EXPECT_TRUE(log.saw(log.errors, OSC_BAD_TYPE));
    EXPECT_EQ(c.eval("(length received)"), "2");
}

TEST_F(OscProcess, BundlesArraysAndBlobsAndTheBlobBackOutToOscdump) {
    const int dump_port = free_port();
    const std::string dumped = (fs::temp_directory_path() / ("ombrel-oscdump-" + std::to_string(::getpid()))).string();
    pid_t dump = spawn({"oscdump", "-L", std::to_string(dump_port)}, dumped);
    ASSERT_GT(dump, 0);
    c.eval("(define kept #f)");
    c.eval("(define (io:osc-receive address . args) (set! received (cons (cons address args) received))"
           "  (if (equal? address \"/blob\") (set! kept (io:osc-blob (car args)))))");
    const uint8_t five[] = {1, 2, 3, 4, 5};
    const long live_before = OscData::live();
    Udp peer;
    peer.send(OSC::PORT, bundle({message("/arr", [](auto& w) {
                                     w.add_int(1), w.open_array(), w.add_float(0.5f), w.open_array(),
                                         w.add_string("s"), w.close_array(), w.close_array();
                                 }),
                                 message("/blob", [&](auto& w) { w.add_blob(five, 5), w.add_int(7); })}));
    ASSERT_TRUE(received(2));
    EXPECT_EQ(c.eval("(cadr received)"), "(\"/arr\" 1 (0.5 (\"s\")))");
    EXPECT_EQ(c.eval("(objc? kept)"), "#t");
    EXPECT_EQ(c.eval("(io:osc-blob \"0x1234\")"), "#f") << "an address no blob has";
    EXPECT_TRUE(eventually([] { return OSC::singleton().inbox().pending_blobs() == 0; }));
    EXPECT_EQ(c.eval("(io:osc-blob (cadr (car received)))"), "#f") << "claimable only while its call runs";

    // Sent back out: a blob of the same bytes, with everything that is not an argument left out.
    const std::string to = "\"127.0.0.1\" " + std::to_string(dump_port);
    ASSERT_TRUE(eventually([&] {
        c.eval("(schedule (now) *io:osc-send-msg* " + to + " \"/ready\" '())");
        std::this_thread::sleep_for(50ms);
        return contents(dumped).find("/ready") != std::string::npos;
    }));
    EXPECT_EQ(c.eval("(schedule (now) *io:osc-send-msg* " + to + " \"/echo\" (list kept 'sym (vector 1) #t 7))"),
              "#t");
    std::string line;
    EXPECT_TRUE(eventually([&] {
        const std::string out = contents(dumped);
        const size_t at = out.find("/echo"), end = out.find('\n', at);
        return at != std::string::npos && end != std::string::npos && !(line = out.substr(at, end - at)).empty();
    }));
    EXPECT_TRUE(line.ends_with("/echo bi [5b 0x1 0x2 0x3 0x4 0x5] 7")) << line;
    int status = 0;
    end_child(dump, SIGTERM, &status);
    fs::remove(dumped);

    // The blob lives while Scheme holds it, and goes when nothing does.
    EXPECT_EQ(OscData::live(), live_before + 1);
    c.eval("(set! kept #f)");
    c.eval("(set! received '())");
    c.eval("(sys:run-gc)");
    EXPECT_TRUE(eventually([&] { return OscData::live() == live_before; }));
}

TEST_F(OscProcess, SendingEncodesByKindAndRefusesWhatCannotBeSent) {
    Udp capture;
    const int port = capture.bind_loopback();
    const std::string to = "\"127.0.0.1\" " + std::to_string(port);
    EXPECT_EQ(c.eval("(schedule (now) *io:osc-send-msg* " + to +
                     " \"/abcd\" (list 1 2.5 \"str\" (list 3) 'sym (vector 1) 1/2 4294967297))"),
              "#t");
    auto packet = capture.receive();
    ASSERT_TRUE(packet);
    const Bytes expected = message("/abcd", [](auto& w) {
        w.add_int(1), w.add_float(2.5f), w.add_string("str"), w.open_array(), w.add_int(3), w.close_array(),
            w.add_float(0.5f), w.add_int(1);
    });
    EXPECT_EQ(*packet, expected);
    EXPECT_EQ(std::string(packet->begin() + 8, packet->begin() + 16), std::string(",ifs[i]f"));

    c.eval("(define circle (list 1 2))");
    c.eval("(set-cdr! (cdr circle) circle)");
    const struct {
        std::string value, error;
    } refused[] = {
        {to + " \"/a\" 5", "*io:osc-send-msg* needs a host, a port, an address and a list of arguments"},
        {"\"127.0.0.1\" 0 \"/a\" '()", "*io:osc-send-msg* needs a host, a port, an address"},
        {"'host 7000 \"/a\" '()", "*io:osc-send-msg* needs a host, a port, an address"},
        {to + " \"/a\" (list circle)", "*io:osc-send-msg* cannot send a circular or improper list"},
        {to + " \"/a\" (list (make-string 70000 #\\a))", "Error: OSC message too large: UDP 8k message MAX"},
        {"\"no-such-host.invalid\" 7000 \"/a\" '()", "OSC Error: Could no resolve host name"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(c.eval("(schedule (now) *io:osc-send-msg* " + r.value + ")"), "#f") << r.value;
        EXPECT_TRUE(log.saw(log.errors, r.error)) << r.value;
    }
    EXPECT_FALSE(capture.receive(50ms)) << "nothing refused was sent";
}

TEST_F(OscProcess, BurstIntoAHeldProcessStaysBoundedAndIsReported) {
    c.eval("(define count 0)");
    c.eval("(define last #f)");
    c.eval("(define (io:osc-receive address k) (set! count (+ count 1)) (set! last k))");
    OscServer& server = OSC::singleton().server();
    const uint64_t read_before = server.stats().datagrams;
    constexpr int total = 3000;
    Udp peer;
    {
        HeldExecuter held;
        ASSERT_TRUE(held.held);
        for (int k = 0; k < total; ++k) {
            peer.send(OSC::PORT, numbered(k));
            if (k % 100 == 99) {
                ASSERT_TRUE(eventually([&] { return server.stats().datagrams == read_before + k + 1; }));
            }
        }
        EXPECT_LE(ProcessEnvironment::process->queueSize(), OscProcessInbox::WINDOW + 1);
    }
    EXPECT_TRUE(eventually([&] { return c.eval("last") == std::to_string(total - 1); }));
    const int count = std::stoi(c.eval("count"));
    EXPECT_GE(count, 1024);
    EXPECT_LE(count, int(OscProcessInbox::WINDOW + 1024 + 1));
    // One notification per burst (a burst longer than a second reports once a second), counting every drop.
    EXPECT_TRUE(log.saw(log.notes, "OSC input came faster than Scheme took it: dropped the "));
    int dropped = 0;
    for (const auto& note : log.notes)
        if (auto at = note.find("dropped the "); at != std::string::npos) dropped += std::stoi(note.substr(at + 12));
    EXPECT_EQ(dropped, total - count);
}

}  // namespace
}  // namespace omb::test

static auto* const osc_environment = ::testing::AddGlobalTestEnvironment(new omb::test::OscEnvironment);
static auto* const process_environment = ::testing::AddGlobalTestEnvironment(new omb::test::ProcessEnvironment);
