// Test builds only: a program reads the time from a file that a test writes,
// so schedules and minute timers are tested at chosen moments instead of by
// waiting. Release builds (BRIMVALE_TEST_HOOKS off) never accept the option.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale {

// The hidden option, "--clock-file=PATH"; the file holds seconds since the epoch.
inline constexpr std::string_view kClockFileOption = "--clock-file=";

#ifdef BRIMVALE_TEST_HOOKS
// Removes the hidden option from `args` and arms it.
void takeClockOption(std::vector<std::string>& args);
// The time the file holds now; nothing when not armed or the file does not
// hold a number (the real clock is used then). Safe from any thread.
[[nodiscard]] std::optional<std::time_t> injectedNow();
#else
inline void takeClockOption(std::vector<std::string>&) {}
inline std::optional<std::time_t> injectedNow() { return std::nullopt; }
#endif

// How often a minute timer fires: every minute, or every second while the
// time comes from a test's file, which moves by jumps.
[[nodiscard]] std::chrono::milliseconds minuteTimerInterval();

}  // namespace brimvale
