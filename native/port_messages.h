// Port messages: a data object sent from Scheme in one copy of the program to a named procedure of a named process
// in another ("io:send-port-message"), over the framed TCP protocol of native/port_codec.h. This is the
// program-wide part: the one listener (port 7008 on loopback unless the preferences or the command line say
// otherwise), the hand-over of each received message to its process, and the sending.
//
// A received message becomes a runloop-callback task of the process it names: its executer calls the procedure, a
// closure bound in that process, with the object. Only closures: a message from outside must not call the native
// procedures (files, scripts) by name.
//
// Threads: start() and stop() on the main thread; deliver() on the listener's thread; send() on any thread (a
// process's executer), where it waits for the network at most a couple of seconds.
#pragma once

#include <atomic>
#include <string>

#include "native/port_codec.h"

namespace omb::port_messages {

// Where a sender connects when the host it names carries no port.
inline constexpr int kDefaultPort = 7008;

// Where start() listens. Set before it.
inline std::atomic<int> PORT{kDefaultPort};
inline std::string LISTEN_ADDRESS = "127.0.0.1";

// Binds and starts the listener; false, with the reason in the log, when the address cannot be had (the program
// runs on without receiving port messages). Port 0: the system's choice.
bool start();
void stop();
// The port listened on, 0 when not listening: what a sent message carries as its reply port.
int listening_port();

// A received message to its process. An unknown process name is reported as "Bad Message: Bad Scheme Interface".
void deliver(PortMessage message);

// Sends `object` to `procedure` in `process` of the copy at `host` ("name", "name:port" or "[v6]:port"; the port
// defaults to 7008). False, with the error in the log: "Error retreiving port from nameserver" when nothing can
// be reached there, "Error sending Port Message" when the message did not go out whole, or the reason the object
// or names cannot travel.
bool send(const std::string& host, const std::string& process, const std::string& procedure, Object* object);

}  // namespace omb::port_messages
