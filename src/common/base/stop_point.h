// Test builds only: a program stops itself with SIGKILL right after a named
// step, so kill loops hit every step deterministically instead of by timing.
// Release builds (BRIMVALE_TEST_HOOKS off) compile every call to nothing and
// never accept the option.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brimvale {

// The hidden option, "--stop-after=STEP" or "--stop-after=STEP#N" (the N-th
// time the step is reached, counting from 1).
inline constexpr std::string_view kStopAfterOption = "--stop-after=";

#ifdef BRIMVALE_TEST_HOOKS
// Removes the hidden option from `args` and arms it.
void takeStopPointOption(std::vector<std::string>& args);
// Kills this process (SIGKILL, no clean-up) when armed for `step` and this is
// the armed occurrence. Safe from any thread.
void stopPoint(std::string_view step);
// The option as this process was given it, for a helper process it starts
// (a detached supervisor) to stop at a step of its own; empty when not armed.
[[nodiscard]] std::string armedStopPointOption();
#else
inline void takeStopPointOption(std::vector<std::string>&) {}
inline void stopPoint(std::string_view) {}
inline std::string armedStopPointOption() { return {}; }
#endif

}  // namespace brimvale
