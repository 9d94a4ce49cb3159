// Time stamps in the fixed forms the state files use, and an injectable clock
// so long-running loops can be driven by tests without waiting.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale {

// Seconds since the epoch; tests substitute their own.
using WallClock = std::function<std::time_t()>;
[[nodiscard]] WallClock systemClock();

[[nodiscard]] std::string ts(std::time_t t);     // local "YYYY-mm-dd HH:MM:SS"
[[nodiscard]] std::string isots(std::time_t t);  // UTC "YYYY-mm-ddTHH:MM:SSZ"
// The reverse of isots(); nothing for any other text.
[[nodiscard]] std::optional<std::time_t> parseIsots(std::string_view text);
[[nodiscard]] std::string localDate(std::time_t t);    // local "YYYY-mm-dd"
[[nodiscard]] std::string localMinute(std::time_t t);  // local "YYYY-mm-dd HH:MM"
[[nodiscard]] int localHour(std::time_t t);            // 0-23
// strftime in local time, for the rarer forms ("%Y%m%d%H%M%S", "%Y-%m").
[[nodiscard]] std::string formatLocal(std::time_t t, const char* pattern);

}  // namespace brimvale
