#include "platform/resources.h"

#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace omb {

namespace {

std::filesystem::path executable_dir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace

std::filesystem::path resource_path(std::string_view relative) {
    std::filesystem::path candidates[3];
    if (const char* env = std::getenv("OMBREL_RESOURCES")) candidates[0] = env;
    if (auto dir = executable_dir(); !dir.empty()) candidates[1] = dir / ".." / "share" / "ombrel";
    candidates[2] = OMBREL_SOURCE_DIR;
    for (const auto& base : candidates) {
        if (base.empty()) continue;
        std::error_code ec;
        auto p = base / relative;
        if (std::filesystem::exists(p, ec)) return p.lexically_normal();
    }
    return {};
}

}  // namespace omb
