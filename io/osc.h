// OSC: the program's one Open Sound Control server and sender.
//
// Receiving: a UDP socket bound when the first process starts (LISTEN_ADDRESS, PORT); "io:osc-register-events"
// starts its receive thread and makes the calling process the one that gets every message, as a call of
// io:osc-receive (io/osc_decode.h, io/osc_inbox.h). Sending: the task target "*io:osc-send-msg*", whose packet is
// built when the task is scheduled and sent from the scheduler's queue thread when it falls due.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "interpreter/scheme.h"
#include "io/osc_inbox.h"
#include "io/osc_sender.h"
#include "io/osc_server.h"
#include "scheduler/tasks.h"

namespace omb {

class SchemeInterface;

class OSC {
public:
    // Where the server listens: loopback unless the performer opens it to the network (preference
    // "osc_listen_address", "0.0.0.0" for every interface); and the port (preference "osc_port"). Set them before
    // the first process starts.
    static inline std::string LISTEN_ADDRESS = "127.0.0.1";
    static inline std::atomic<int> PORT{7009};

    // Created on first use (a process's start-up), never destroyed; its receive thread ends when the program does.
    static OSC& singleton();
    // Registers the OSC names into a process (io/osc_scheme.cpp); the first process to start makes the server.
    static void schemeInit(SchemeInterface* process);

    OscServer& server() { return *server_; }
    OscProcessInbox& inbox() { return inbox_; }
    OscSender& sender() { return sender_; }

    // The member behind "*io:osc-send-msg*": sends the packet its task carries (TaskArguments: the destination's
    // address and port in numbers, the packet in bytes). Scheduler's queue thread.
    void sendOSC(TaskI* task);

    // "io:osc-register-events": starts the receive thread (once) and makes the caller the receiving process.
    static pointer registerScheme(scheme* sc, pointer args);
    // "io:osc-blob": the data object of a received blob, by the address text its call carried; #f when none.
    static pointer blob(scheme* sc, pointer args);

private:
    OSC();
    OscProcessInbox inbox_;
    OscSender sender_;
    std::unique_ptr<OscServer> server_;
};

}  // namespace omb
