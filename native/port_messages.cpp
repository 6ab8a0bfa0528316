#include "native/port_messages.h"

#include <cctype>
#include <memory>
#include <mutex>

#include "native/port_listener.h"
#include "native/port_sender.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/scheme_interface.h"

namespace omb::port_messages {

namespace {

std::mutex listener_mutex;
std::unique_ptr<PortListener> listener;  // under listener_mutex
std::atomic<int> bound_port{0};

}  // namespace

bool start() {
    std::lock_guard lock(listener_mutex);
    if (listener) return true;
    auto made = std::make_unique<PortListener>(LISTEN_ADDRESS, PORT.load(), deliver);
    if (!made->bound() || !made->start()) return false;
    bound_port = made->port();
    devlog("Port messages: listening on %s:%d", LISTEN_ADDRESS.c_str(), made->port());
    listener = std::move(made);
    return true;
}

void stop() {
    std::unique_ptr<PortListener> ending;
    {
        std::lock_guard lock(listener_mutex);
        ending = std::move(listener);
        bound_port = 0;
    }
    ending.reset();  // joins the thread outside the lock: it never takes it, but stop() should not hold it long
}

int listening_port() { return bound_port.load(); }

void deliver(PortMessage message) {
    devlog("Recieved Port Message");
    SchemeInterface* process = SchemeInterface::I(message.process);
    if (!process) {
        CPPBridge::error("Bad Message: Bad Scheme Interface");
        return;
    }
    // Symbols are case-insensitive: the procedure is named as the reader would have written it.
    std::string procedure = message.procedure;
    for (char& c : procedure) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    process->createSchemeTask(message.object.release(), procedure, SchemeTaskType::runloop_callback);
}

bool send(const std::string& host, const std::string& process, const std::string& procedure, Object* object) {
    const auto to = parse_port_address(host, kDefaultPort);
    if (!to) {
        CPPBridge::error("Error retreiving port from nameserver");
        return false;
    }
    PortMessage message{static_cast<uint16_t>(listening_port()), process, procedure, Ref<Object>::retain(object)};
    std::string problem;
    const auto frame = encode_port_message(message, &problem);
    if (!frame) {
        CPPBridge::error("io:send-port-message: %s", problem.c_str());
        return false;
    }
    const PortSend sent = send_port_frame(*to, *frame);
    devlog("Message sent");
    if (sent == PortSend::unreachable) CPPBridge::error("Error retreiving port from nameserver");
    if (sent == PortSend::failed) CPPBridge::error("Error sending Port Message");
    return sent == PortSend::sent;
}

}  // namespace omb::port_messages
