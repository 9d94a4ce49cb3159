// The answer to a "[y/N]" question asked on a terminal: one line, where only
// "y" or "yes" (any case, blanks around) agree; anything else, or no line, is no.
#pragma once

#include <istream>

namespace brimvale {

[[nodiscard]] bool readsYes(std::istream& in);

}  // namespace brimvale
