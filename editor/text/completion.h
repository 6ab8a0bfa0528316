// Completion: the names the tab key offers for the partial word before the cursor.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "editor/text/scheme_text.h"

namespace omb::editor {

// The partial word that ends at p (clamped to the text): back to the nearest "() \n\t" or quote prefix ("'", "`",
// ","), which begin no name. An empty range at p when the cursor follows a delimiter.
TextRange word_before(std::string_view text, std::size_t p);

// The names, from `words` (the keyword dictionary), that begin with `partial` and so are at least as long; sorted
// and without repeats. An empty partial word is a prefix of every name.
std::vector<std::string> completions(std::string_view partial, std::span<const std::string> words);

}  // namespace omb::editor
