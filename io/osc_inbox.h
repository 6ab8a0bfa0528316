// The program's OSC inbox: the Scheme process registered for OSC events (the last to call io:osc-register-events),
// which gets each received message as the text of an io:osc-receive call, an eval task labelled "OSC TASK".
//
// The blobs of a message stay here, claimable by address from Scheme (io:osc-blob), until the process has
// evaluated the message's call; a claimed blob then lives as long as Scheme holds it.
//
// Threads: ready(), take() and tick() on the OSC receive thread; set_receiver() and claim() on executers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <vector>

#include "interpreter/scheme.h"
#include "io/osc_server.h"

namespace omb {

class OscProcessInbox : public OscInbox {
public:
    // Past this many tasks waiting in the process's queue, calls wait in the server's backlog instead.
    static constexpr size_t WINDOW = 256;

    void set_receiver(scheme* sc) { receiver_.store(sc); }
    scheme* receiver() const { return receiver_.load(); }

    bool ready() override;
    void take(OscCall call) override;
    void tick() override;

    // The blob whose address a pending call names, with a reference for the caller; null when `address` names
    // none (its call was evaluated, or it never was one). Never follows an address it did not hand out.
    Object* claim(std::string_view address);
    size_t pending_blobs();

private:
    struct Pending {
        scheme* sc;
        uint64_t done_at;  // the process has evaluated the call once it has finished this many tasks
        std::vector<OscDataRef> blobs;
    };
    std::atomic<scheme*> receiver_{nullptr};
    std::mutex mutex_;
    std::deque<Pending> pending_;
};

}  // namespace omb
