// Port messages: the wire format with every kind of object and every way a frame can lie, the listener under
// hostile connections (it drops what is bad and serves on), and a message from Scheme to a closure of a process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "native/native_scheme.h"
#include "native/port_codec.h"
#include "native/port_listener.h"
#include "native/port_messages.h"
#include "native/port_sender.h"
#include "tests/runtime/process_support.h"
#include "tests/support/log_capture.h"

namespace omb::test {
namespace {

// One of each kind, nested, with the awkward values: a zero byte, a negative integer beyond 32 bits, UTF-8.
Ref<Object> every_kind() {
    const uint8_t bytes[] = {0, 1, 0xff, 7};
    std::vector<NSDictionary::Item> entries;
    entries.emplace_back(make_object<NSString>("key"), NSNumber::boolean(false));
    entries.emplace_back(NSNumber::integer(5), make_object<NSArray>());
    std::vector<Ref<Object>> items;
    items.push_back(make_object<NSString>("h\xC3\xA9llo \"quoted\""));
    items.push_back(NSNumber::integer(-5000000000));
    items.push_back(NSNumber::real(0.1));
    items.push_back(NSNumber::boolean(true));
    items.push_back(make_object<NSData>(bytes, sizeof bytes));
    items.push_back(make_object<NSDictionary>(std::move(entries)));
    items.push_back(make_object<NSMutableArray>(std::vector<Ref<Object>>{make_object<NSString>("")}));
    return make_object<NSArray>(std::move(items));
}

std::vector<uint8_t> frame_of(Ref<Object> object, const std::string& process = "p", const std::string& proc = "f") {
    return encode_port_message(PortMessage{7008, process, proc, std::move(object)}).value_or(std::vector<uint8_t>{});
}

bool decodes(const std::vector<uint8_t>& frame, PortMessage* out = nullptr) {
    PortMessage m;
    return frame.size() >= kPortFrameHeader &&
           decode_port_message_body(frame.data() + kPortFrameHeader, frame.size() - kPortFrameHeader, out ? *out : m);
}

// Descriptions show each number's kind ("1" for a boolean, "0.10000000000000001" for a real): equal values and
// equal descriptions mean the object came back as it went.
TEST(PortCodec, EveryKindTravelsAsItWasMade) {
    const auto frame = frame_of(every_kind(), "primary process", "got");
    PortMessage back;
    ASSERT_TRUE(decodes(frame, &back));
    EXPECT_EQ(port_frame_body_length(frame.data()), frame.size() - kPortFrameHeader);
    EXPECT_EQ(back.reply_port, 7008);
    EXPECT_EQ(back.process, "primary process");
    EXPECT_EQ(back.procedure, "got");
    EXPECT_TRUE(is_equal(back.object.get(), every_kind().get()));
    EXPECT_EQ(back.object->description(), every_kind()->description());
}

TEST(PortCodec, WhatCannotTravelIsRefusedWithTheReason) {
    std::string why;
    EXPECT_FALSE(encode_port_message({0, "p", "f", make_object<NSValue>(NSValue::Content{NSRange{1, 2}})}, &why));
    EXPECT_NE(why.find("NSValue cannot travel"), std::string::npos) << why;
    EXPECT_FALSE(encode_port_message({0, "p", "f", {}}, &why));
    Ref<Object> deep = NSNumber::integer(1);
    for (int i = 0; i <= kPortMessageMaxDepth; ++i) deep = make_object<NSArray>(std::vector<Ref<Object>>{deep});
    EXPECT_FALSE(encode_port_message({0, "p", "f", deep}, &why));
    EXPECT_NE(why.find("nested"), std::string::npos) << why;
    for (const std::string& bad : std::vector<std::string>{"", "a\nb", std::string(256, 'x'), "caf\xC3\xA9"})
        EXPECT_FALSE(encode_port_message({0, bad, "f", NSNumber::integer(1)})) << bad;
    EXPECT_FALSE(encode_port_message({0, "p", "f", make_object<NSData>(std::vector<uint8_t>(kPortMessageMaxBody))}));
    std::vector<NSDictionary::Item> entries;
    for (size_t i = 0; i <= kPortMessageMaxEntries; ++i) entries.emplace_back(NSNumber::integer(int64_t(i)), deep);
    EXPECT_FALSE(encode_port_message({0, "p", "f", make_object<NSDictionary>(std::move(entries))}, &why));
    EXPECT_NE(why.find("dictionary entries"), std::string::npos) << why;
}

// A frame whose one 32-bit length or count is replaced (at `at`, counted from the frame's start) by `value`.
std::vector<uint8_t> lying(std::vector<uint8_t> frame, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) frame[at + size_t(i)] = uint8_t(value >> (24 - 8 * i));
    return frame;
}

TEST(PortCodec, TheDecoderBelievesNoLengthItCannotSee) {
    const auto frame = frame_of(every_kind());
    for (size_t cut = kPortFrameHeader; cut < frame.size(); ++cut)
        EXPECT_FALSE(decodes(std::vector<uint8_t>(frame.begin(), frame.begin() + long(cut)))) << "cut at " << cut;
    auto longer = frame;
    longer.push_back(0);
    EXPECT_FALSE(decodes(longer)) << "a byte after the object";

    // Body: port (2), "p" (2 + 1), "f" (2 + 1), then the object: a string's length, an array's count.
    const size_t object = kPortFrameHeader + 8;
    EXPECT_FALSE(decodes(lying(frame_of(make_object<NSString>("abc")), object + 1, 0xffffffff)));
    EXPECT_FALSE(decodes(lying(frame_of(make_object<NSData>()), object + 1, 1)));
    EXPECT_FALSE(decodes(lying(frame_of(make_object<NSArray>()), object + 1, 0x7fffffff)));
    EXPECT_FALSE(decodes(lying(frame_of(make_object<NSDictionary>()), object + 1, 3)));
    std::vector<uint8_t> many = {0, 0, 0, 1, 'p', 0, 1, 'f', 'D', 0, 0, 0x04, 0x01};  // 1025 entries, all there
    for (size_t i = 0; i <= kPortMessageMaxEntries; ++i) many.insert(many.end(), {'i', 0, 0, 0, 0, 0, 0, 0, 1, 'b', 0});
    PortMessage m;
    EXPECT_FALSE(decode_port_message_body(many.data(), many.size(), m)) << "more entries than a receiver builds";
    auto unknown = frame_of(NSNumber::boolean(true));
    unknown[object + 1] = 2;
    EXPECT_FALSE(decodes(unknown)) << "a boolean of 2";
    unknown[object] = 'z';
    EXPECT_FALSE(decodes(unknown)) << "an unknown tag";
    auto name = frame_of(NSNumber::integer(1));
    name[kPortFrameHeader + 4] = 0x01;
    EXPECT_FALSE(decodes(name)) << "a control character in the process name";
    std::vector<uint8_t> deep = {0, 0, 0, 1, 'p', 0, 1, 'f'};
    for (int i = 0; i <= kPortMessageMaxDepth + 1; ++i) deep.insert(deep.end(), {'a', 0, 0, 0, 1});
    deep.insert(deep.end(), {'b', 1});
    EXPECT_FALSE(decode_port_message_body(deep.data(), deep.size(), m)) << "nesting beyond the bound";

    EXPECT_FALSE(port_frame_body_length(lying(frame, 4, kPortMessageMaxBody + 1).data()));
    auto not_ours = frame;
    not_ours[0] = 'X';
    EXPECT_FALSE(port_frame_body_length(not_ours.data()));
}

// ---- the listener ------------------------------------------------------------------------------------------------

class Received {
public:
    void add(PortMessage m) {
        std::lock_guard lock(mutex_);
        numbers_.push_back(static_cast<NSNumber*>(m.object.get())->integer_value());
    }
    std::vector<int64_t> numbers() {
        std::lock_guard lock(mutex_);
        return numbers_;
    }

private:
    std::mutex mutex_;
    std::vector<int64_t> numbers_;
};

int raw_connection(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
}

// Whether the listener closes the connection within `limit` (our read sees its end).
bool closed_by_listener(int fd, std::chrono::milliseconds limit = 3s) {
    pollfd p{fd, POLLIN, 0};
    char c;
    const bool closed = ::poll(&p, 1, int(limit.count())) == 1 && ::recv(fd, &c, 1, 0) <= 0;
    ::close(fd);
    return closed;
}

TEST(PortListenerTest, BadFramesEndTheirConnectionAndTheListenerServesOn) {
    LogCapture log;
    Received got;
    PortListener::Options options;
    options.max_connections = 3;
    options.silence_limit = 300ms;
    options.max_body = 1 << 16;
    PortListener listener("127.0.0.1", 0, [&](PortMessage m) { got.add(std::move(m)); }, options);
    ASSERT_TRUE(listener.start());
    const PortAddress to{"127.0.0.1", listener.port()};
    std::vector<int64_t> sent;
    auto still_serves = [&](const char* after) {
        sent.push_back(int64_t(sent.size()));
        EXPECT_EQ(send_port_frame(to, frame_of(NSNumber::integer(sent.back()))), PortSend::sent) << after;
        EXPECT_TRUE(eventually([&] { return got.numbers() == sent; }, 5s)) << "after " << after;
    };
    auto hostile = [&](const std::vector<uint8_t>& bytes, bool half_close, const char* what) {
        const int fd = raw_connection(listener.port());
        ASSERT_GE(fd, 0);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (half_close) ::shutdown(fd, SHUT_WR);
        EXPECT_TRUE(closed_by_listener(fd)) << what;
        still_serves(what);
    };
    const auto good = frame_of(NSNumber::integer(99));
    const std::vector<uint8_t> half(good.begin(), good.begin() + long(good.size() / 2));
    hostile({'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'}, false, "bytes that are not ours");
    const auto huge = lying(good, 4, 1 << 20);
    hostile(std::vector<uint8_t>(huge.begin(), huge.begin() + kPortFrameHeader), false,
            "a header announcing more than the largest body");
    hostile(lying(frame_of(make_object<NSString>("abc")), kPortFrameHeader + 9, 1000), false, "a lying length");
    hostile(half, true, "half a frame, then the sender's end shut");
    hostile(half, false, "half a frame, then silence");

    // Frames split anywhere, and two in one connection, arrive whole and in order.
    const int fd = raw_connection(listener.port());
    auto two = frame_of(NSNumber::integer(int64_t(sent.size())));
    const auto second = frame_of(NSNumber::integer(int64_t(sent.size()) + 1));
    two.insert(two.end(), second.begin(), second.end());
    for (uint8_t byte : two) ::send(fd, &byte, 1, MSG_NOSIGNAL);
    sent.push_back(int64_t(sent.size()));
    sent.push_back(int64_t(sent.size()));
    EXPECT_TRUE(eventually([&] { return got.numbers() == sent; }, 5s));
    ::close(fd);

    // Idle connections up to the bound; one more is turned away at once.
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(raw_connection(listener.port()));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(closed_by_listener(raw_connection(listener.port()), 1s)) << "a connection beyond the bound";
    for (int i : idle) ::close(i);
    std::this_thread::sleep_for(50ms);  // the listener sees them go
    still_serves("too many connections");

    const auto stats = listener.stats();
    EXPECT_EQ(stats.problems, 5u);
    EXPECT_GE(stats.refused, 1u);
    EXPECT_TRUE(log.saw(log.errors, "Port message dropped: a message longer than 65536 bytes"));
    EXPECT_TRUE(log.saw(log.errors, "Port message dropped: a message ended before all of it arrived"));
    listener.stop();
}

TEST(PortSenderTest, AddressesAndUnreachableHosts) {
    EXPECT_EQ(parse_port_address("localhost", 7008)->port, 7008);
    EXPECT_EQ(parse_port_address("example.org:7108", 7008)->host, "example.org");
    EXPECT_EQ(parse_port_address("[::1]:7108", 7008)->port, 7108);
    EXPECT_EQ(parse_port_address("::1", 7008)->host, "::1");
    for (const char* bad : {"", ":7008", "host:", "host:0", "host:65536", "host:12x", "[::1", "[::1]x"})
        EXPECT_FALSE(parse_port_address(bad, 7008)) << bad;
    const int nobody = free_port();
    EXPECT_EQ(send_port_frame({"127.0.0.1", nobody}, frame_of(NSNumber::integer(1))), PortSend::unreachable);
    EXPECT_EQ(send_port_frame({"no-such-host.invalid", 7008}, frame_of(NSNumber::integer(1))), PortSend::unreachable);
}

// ---- from Scheme to Scheme -------------------------------------------------------------------------------------

void objects_init(SchemeInterface* process) {
    process->addForeignFunc("test:every-kind", [](scheme* sc, pointer) { return mk_objc(sc, every_kind().release()); });
    process->addForeignFunc("test:a-range", [](scheme* sc, pointer) {
        return mk_objc(sc, make_object<NSValue>(NSValue::Content{NSRange{1, 2}}).release());
    });
    process->addForeignFunc("test:every-kind?", [](scheme* sc, pointer args) {
        const pointer x = pair_car(args);
        const bool same = is_objc(x) && is_equal(objc_value(x), every_kind().get()) &&
                          objc_value(x)->description() == every_kind()->description();
        return same ? sc->T : sc->F;
    });
}

class PortEnvironment : public ProcessEnvironment {
public:
    void SetUp() override {
        add_native_library(NativeScheme::schemeInit);
        add_native_library(objects_init);
        ProcessEnvironment::SetUp();
        port_messages::PORT = 0;
        ASSERT_TRUE(port_messages::start());
    }
    void TearDown() override {
        port_messages::stop();
        ProcessEnvironment::TearDown();
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new PortEnvironment);

TEST(PortMessageProcess, SchemeSendsAnObjectToAClosureOfANamedProcess) {
    LogCapture log;
    Conn c(ProcessEnvironment::port);
    ASSERT_TRUE(c.greet());
    const std::string here = "\"127.0.0.1:" + std::to_string(port_messages::listening_port()) + "\" ";
    ASSERT_EQ(c.eval("(define arrived '()) (define (got x) (set! arrived (cons (test:every-kind? x) arrived)))"),
              "got");
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "\"test process\" \"GOT\" (test:every-kind))"), "#t");
    EXPECT_TRUE(eventually([&] { return c.eval("arrived") == "(#t)"; }, 5s)) << "a case-insensitive name";

    // Three arguments: the primary process, which this program does not have.
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "\"got\" (test:every-kind))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Bad Message: Bad Scheme Interface"));
    // Only closures answer: a native procedure cannot be called by name from outside.
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "\"test process\" \"print\" (test:every-kind))"), "#t");
    EXPECT_TRUE(log.saw(log.errors, "Bad closure #<FOREIGN> Ignoring runloop-callback request"));

    EXPECT_EQ(c.eval("(io:send-port-message \"127.0.0.1:" + std::to_string(free_port()) +
                     "\" \"got\" (test:every-kind))"),
              "#f");
    EXPECT_TRUE(log.saw(log.errors, "Error retreiving port from nameserver"));
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "\"test process\" \"got\" (test:a-range))"), "#f");
    EXPECT_TRUE(log.saw(log.errors, "cannot travel in a port message"));
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "\"got\" \"a Scheme string\")"), "#f");
    EXPECT_EQ(c.eval("(io:send-port-message " + here + "(test:every-kind))"), "#f");
    EXPECT_EQ(c.eval("arrived"), "(#t)") << "nothing else was called";
}

}  // namespace
}  // namespace omb::test
