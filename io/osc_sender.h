// Sends OSC packets as UDP datagrams to any IPv4 host and port, from one socket of its own, never blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace omb {

struct OscDestination {
    uint32_t address = 0;  // IPv4, host byte order
    uint16_t port = 0;
};

class OscSender {
public:
    OscSender();
    ~OscSender();
    OscSender(const OscSender&) = delete;
    OscSender& operator=(const OscSender&) = delete;

    // A host name or dotted address: false, with "OSC Error: Could no resolve host name" in the log, when it names
    // no IPv4 host. A name may wait on the resolver (once in 30 s per name): call it where a wait is acceptable,
    // never on the scheduler's queue thread.
    static bool resolve(const std::string& host, int port, OscDestination& into);

    // Any thread: one datagram. A full send buffer fails rather than waits; failures go to the log.
    bool send(const OscDestination& to, const uint8_t* bytes, size_t size);

private:
    int socket_ = -1;
};

}  // namespace omb
