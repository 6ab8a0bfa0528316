// The cell renderer: any cell as text for eval replies, printed output, error reports and recorded headers.
//
// Pure cell-to-text: it reads cells and never allocates any, so it may run in the middle of an error report.
#pragma once

#include <ostream>

#include "interpreter/scheme.h"

namespace omb {

// Appends the printed form of `x`; `extended` adds the insides of procedures and closures.
void printSchemeCell(scheme* sc, std::ostream& os, pointer x, bool extended);
// Appends a list body: each element, blank-separated, and ". tail" for an improper end.
void printSchemeCons(scheme* sc, std::ostream& os, pointer x, bool extended);

// A reply that would exceed this many cells is cut short with " ..." (a circular list would never end).
constexpr long RENDER_CELL_BUDGET = 4'000'000;

}  // namespace omb
