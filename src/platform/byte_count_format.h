// Byte counts as the platform's file-style formatter shows them to users:
// decimal units (1 KB = 1,000 bytes), as the system's storage views count.
#pragma once

#include <cstdint>
#include <string>

namespace brimvale::platform {

// 0 -> "Zero KB"; 1 -> "1 byte"; below 1,000 -> "N bytes"; then KB with no
// decimals, MB with one, GB and above with two, trailing zeros dropped
// ("60 GB", "12.35 GB", "1.5 MB"). Rounds half up; a value that rounds to
// 1,000 of a unit moves to the next unit. Negative counts get a leading '-'.
[[nodiscard]] std::string formatFileByteCount(std::int64_t bytes);

}  // namespace brimvale::platform
