// Fresh record identifiers: random (version 4) UUIDs in upper-case text form,
// the form every Brimvale record and file name uses.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brimvale {

// Unique across threads and forked processes; cheap enough for one id per log
// line.
[[nodiscard]] std::string newUuid();
// `count` fresh ids drawn at once, for a batch of log lines.
[[nodiscard]] std::vector<std::string> newUuids(std::size_t count);

}  // namespace brimvale
