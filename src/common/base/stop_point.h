// Test builds only: a program stops itself with SIGKILL right after a named
// step, or waits there while a test does something to it (unplugs the drive,
// writes into the folder), so fault loops hit every step deterministically
// instead of by timing; and the application's unattended loop can be run
// through once and end by itself.
// Release builds (BRIMVALE_TEST_HOOKS off) compile every call to nothing and
// never accept the options.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brimvale {

// The hidden option, "--stop-after=STEP" or "--stop-after=STEP#N" (the N-th
// time the step is reached, counting from 1); "--stop-after=STEP@MARK" also
// creates MARK.reached just before the kill, so a test sees that it struck
// even in a detached helper process.
inline constexpr std::string_view kStopAfterOption = "--stop-after=";
// The other hidden option, "--pause-at=STEP[#N]@FLAG": at the step the
// program creates FLAG.reached and waits until FLAG exists, then goes on.
inline constexpr std::string_view kPauseAtOption = "--pause-at=";
// The last, "--quit-when-idle": `brimvale run` fires each of its timers at
// start, as though its time had come, and quits by itself once the work
// they started has ended.
inline constexpr std::string_view kQuitWhenIdleOption = "--quit-when-idle";

#ifdef BRIMVALE_TEST_HOOKS
// Removes the hidden options from `args` and arms them.
void takeStopPointOption(std::vector<std::string>& args);
// Kills this process (SIGKILL, no clean-up), or pauses it, when armed for
// `step` and this is the armed occurrence. Safe from any thread.
void stopPoint(std::string_view step);
// The options as this process was given them, for a helper process it starts
// (a detached supervisor) to stop at a step of its own; empty when not armed.
[[nodiscard]] std::vector<std::string> armedStopPointOptions();
// Whether this process was given "--quit-when-idle".
[[nodiscard]] bool quitWhenIdle();
#else
inline void takeStopPointOption(std::vector<std::string>&) {}
inline void stopPoint(std::string_view) {}
inline std::vector<std::string> armedStopPointOptions() { return {}; }
inline bool quitWhenIdle() { return false; }
#endif

}  // namespace brimvale
