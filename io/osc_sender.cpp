#include "io/osc_sender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "platform/log_bridge.h"

namespace omb {

OscSender::OscSender() { socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

OscSender::~OscSender() {
    if (socket_ >= 0) ::close(socket_);
}

namespace {

// Names looked up lately: a piece that sends to "localhost" or a machine on the network many times a second asks
// the resolver once in a while, not for every message.
class NameCache {
public:
    bool find(const std::string& host, uint32_t& address) {
        std::lock_guard lock(mutex_);
        auto it = names_.find(host);
        if (it == names_.end() || std::chrono::steady_clock::now() - it->second.when > kFresh) return false;
        address = it->second.address;
        return true;
    }
    void keep(const std::string& host, uint32_t address) {
        std::lock_guard lock(mutex_);
        if (names_.size() >= kMost) names_.clear();
        names_[host] = {address, std::chrono::steady_clock::now()};
    }

private:
    static constexpr auto kFresh = std::chrono::seconds(30);
    static constexpr size_t kMost = 64;
    struct Entry {
        uint32_t address;
        std::chrono::steady_clock::time_point when;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> names_;
};

NameCache names;

}  // namespace

bool OscSender::resolve(const std::string& host, int port, OscDestination& into) {
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
        into = {ntohl(numeric.s_addr), static_cast<uint16_t>(port)};
        return true;
    }
    uint32_t cached = 0;
    if (names.find(host, cached)) {
        into = {cached, static_cast<uint16_t>(port)};
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        CPPBridge::error("OSC Error: Could no resolve host name");
        return false;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    into = {ntohl(address->sin_addr.s_addr), static_cast<uint16_t>(port)};
    ::freeaddrinfo(found);
    names.keep(host, into.address);
    return true;
}

bool OscSender::send(const OscDestination& to, const uint8_t* bytes, size_t size) {
    if (socket_ < 0) {
        CPPBridge::error("OSC Error: Socket connection failure");
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    address.sin_addr.s_addr = htonl(to.address);
    const ssize_t sent = ::sendto(socket_, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent == static_cast<ssize_t>(size)) return true;
    if (sent < 0 && errno == EMSGSIZE) CPPBridge::error("Error: OSC message too large: UDP 8k message MAX");
    else CPPBridge::error("Error: Problem sending OSC message");
    return false;
}

}  // namespace omb
