#include "native/controller.h"

#include <atomic>

namespace omb {

namespace {
std::atomic<NativeController*> controller{nullptr};
}  // namespace

NativeController* native_controller() { return controller.load(); }
void set_native_controller(NativeController* c) { controller.store(c); }

}  // namespace omb
