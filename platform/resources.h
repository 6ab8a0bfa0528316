// Resources: where the program's own files (the standard Scheme files, defaults, docs) are found.
//
// Installed, they live in share/ombrel beside the program's bin/; run from a build tree, the source tree's
// folders are used, so Ombrel runs without installing. OMBREL_RESOURCES overrides both.
#pragma once

#include <filesystem>
#include <string_view>

namespace omb {

// The first existing location of `relative` (e.g. "scheme/init.scm"); empty when none exists.
std::filesystem::path resource_path(std::string_view relative);

}  // namespace omb
