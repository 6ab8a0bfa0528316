#include "runtime/native_libraries.h"

#include <mutex>
#include <vector>

namespace omb {

namespace {
std::mutex libraries_mutex;
std::vector<NativeLibraryInit>& libraries() {
    static std::vector<NativeLibraryInit> list;
    return list;
}
}  // namespace

void add_native_library(NativeLibraryInit init) {
    std::lock_guard lock(libraries_mutex);
    for (NativeLibraryInit known : libraries())
        if (known == init) return;
    libraries().push_back(init);
}

void register_native_libraries(SchemeInterface* process) {
    std::vector<NativeLibraryInit> list;
    {
        std::lock_guard lock(libraries_mutex);
        list = libraries();
    }
    for (NativeLibraryInit init : list) init(process);
}

}  // namespace omb
