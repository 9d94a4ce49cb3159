// Fresh record identifiers: random (version 4) UUIDs in upper-case text form,
// the form every Brimvale record and file name uses.
#pragma once

#include <string>

namespace brimvale {

// Unique across threads and forked processes; cheap enough for one id per log
// line.
[[nodiscard]] std::string newUuid();

}  // namespace brimvale
