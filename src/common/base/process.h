// The one way this system runs another program: absolute path, argument list
// (never a shell), captured output, a deadline, terminate-then-kill on overrun.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brimvale {

struct ProcessInvocation {
  std::string path;               // absolute path of the program
  std::vector<std::string> args;  // arguments after argv[0]
  // Added to (or replacing in) the inherited environment, e.g. {"RSYNC", path}.
  std::vector<std::pair<std::string, std::string>> envAdditions;
  // Unset means no deadline. On overrun the process group gets SIGTERM, then
  // SIGKILL when it is still alive after killGrace.
  std::optional<std::chrono::milliseconds> deadline;
  std::chrono::milliseconds killGrace{2000};
  std::string stdinData;   // written to the child's stdin, then closed
  std::string workingDir;  // empty: inherit
  // Called with each chunk as it arrives (output is still captured).
  std::function<void(std::string_view)> onStdout;
  std::function<void(std::string_view)> onStderr;
  // Stop capturing (but keep streaming) beyond this many bytes per stream.
  std::size_t captureLimit = 64u << 20;
  // Called once with the child's pid (also its process group) right after it
  // started, so another thread can stop it with kill(-pid, ...).
  std::function<void(int)> onStart;
  // Linux: the child gets SIGKILL when the thread that started it ends, so a
  // copy never outlives a crashed caller. Run such a child from a thread that
  // lives until runProcess returns.
  bool dieWithParent = false;
  // When set, output is left to gather this long between reads: a program
  // that writes a line per file then wakes this thread (and pays for the
  // wake-up) a few dozen times a second instead of once per line. The pipes
  // are enlarged where the system allows, so the program rarely waits.
  std::chrono::milliseconds outputPacing{0};
};

enum class ProcessOutcome { kExited, kSignalled, kTimedOut, kFailedToStart };

struct ProcessResult {
  ProcessOutcome outcome = ProcessOutcome::kFailedToStart;
  int exitCode = -1;  // valid when kExited
  int signal = 0;     // valid when kSignalled
  std::string out;
  std::string err;
  std::string launchError;  // valid when kFailedToStart

  [[nodiscard]] bool succeeded() const {
    return outcome == ProcessOutcome::kExited && exitCode == 0;
  }
  // "exited with 3", "killed by signal 9", "timed out", "could not start: ...".
  [[nodiscard]] std::string describe() const;
};

// Runs the program to completion (or its deadline). Never throws; a program
// that cannot be started reports kFailedToStart with the reason. Only the real
// process launcher calls this: everything else runs programs through a
// launcher, or through the ProcessRunner its owner hands down, so a test can
// fake them.
[[nodiscard]] ProcessResult runProcess(const ProcessInvocation& invocation);

// How code that cannot see the platform runs a program: the launcher's run,
// handed down by whoever owns the launcher (a test hands a fake).
using ProcessRunner = std::function<ProcessResult(const ProcessInvocation&)>;

// Standard output of a program that exited with 0 within `deadline`, else
// nothing: for measurements whose failure only means "use the fallback".
[[nodiscard]] std::optional<std::string> outputOf(const ProcessRunner& run, const std::string& path,
                                                  std::vector<std::string> args,
                                                  std::chrono::milliseconds deadline);

// A run with only a program, its arguments and a deadline.
[[nodiscard]] ProcessResult runTool(const ProcessRunner& run, const std::string& path,
                                    std::vector<std::string> args,
                                    std::chrono::milliseconds deadline);

// First executable named `name` in the usual system folders, or empty.
[[nodiscard]] std::string findExecutable(std::string_view name);

}  // namespace brimvale
