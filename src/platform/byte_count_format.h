// Byte counts as the platform's file-style formatter shows them to users:
// decimal units (1 KB = 1,000 bytes), as the system's storage views count.
#pragma once

#include <cstdint>
#include <string>

#include "common/base/platform_words.h"

namespace brimvale::platform {

// 0 -> "Zero KB"; 1 -> "1 byte"; below 1,000 -> "N bytes"; then KB with no
// decimals, MB with one, GB and above with two, trailing zeros dropped
// ("60 GB", "12.35 GB", "1.5 MB"). Rounds half up; a value that rounds to
// 1,000 of a unit moves to the next unit. Negative counts get a leading '-'.
[[nodiscard]] std::string formatFileByteCount(std::int64_t bytes);

// A size in a sentence that counts whole gigabytes where `words` say so: there
// `wholeGb` and " GB" ("60 GB"), as such sentences always read; elsewhere
// `bytes` as formatFileByteCount shows them ("512 MB", "1.5 TB").
[[nodiscard]] std::string gigabytesText(std::int64_t bytes, std::int64_t wholeGb,
                                        const PlatformWords& words = kHostWords);

// The same for a change, with its sign: "+2 GB", "-1 GB", "±0 GB" in whole
// gigabytes; otherwise "+1.5 GB", "-300 MB", "±0".
[[nodiscard]] std::string gigabytesChangeText(std::int64_t bytes, std::int64_t wholeGb,
                                              const PlatformWords& words = kHostWords);

}  // namespace brimvale::platform
