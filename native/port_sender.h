// The sending end of port messages: one TCP connection per message to another copy's listener, the frame written,
// the connection closed. Bounded in time, because it runs on a process's executer: a host that does not answer
// costs at most the limit, never the system's minutes-long connect time-out.
//
// Threads: any; no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace omb {

struct PortAddress {
    std::string host;
    int port = 0;
};

// "host", "host:port", "[IPv6 address]:port" or a bare IPv6 address; the port defaults to `default_port`. Nothing
// for an empty host or a port that is not 1 to 65535.
std::optional<PortAddress> parse_port_address(std::string_view text, int default_port);

enum class PortSend {
    sent,
    unreachable,  // the name does not resolve, or nothing accepts the connection in time
    failed,       // connected, but the frame did not go out whole in time
};

PortSend send_port_frame(const PortAddress& to, const std::vector<uint8_t>& frame,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

}  // namespace omb
