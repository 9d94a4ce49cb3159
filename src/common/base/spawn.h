// Starting a program: the one fork and exec in this system. Everything about
// the child (streams, descriptors, session, lifetime) is said in one request.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale {

// Where one of the child's output streams goes.
struct OutputTarget {
  enum class Kind { kDevNull, kPipe, kTruncateFile, kAppendFile };
  Kind kind = Kind::kDevNull;
  std::string file;  // for the file kinds; created 0600 when missing

  static OutputTarget devNull() { return {}; }
  static OutputTarget pipe() { return {Kind::kPipe, {}}; }
  static OutputTarget truncate(std::string path) { return {Kind::kTruncateFile, std::move(path)}; }
  static OutputTarget append(std::string path) { return {Kind::kAppendFile, std::move(path)}; }
};

enum class InputSource { kDevNull, kPipe };

// kNewProcessGroup lets a caller stop the program and its children with one
// kill(-pid); kNewSession also leaves the caller's terminal behind.
enum class Grouping { kInherit, kNewProcessGroup, kNewSession };

// kDoubleFork: the program is started by a short-lived intermediate that
// exits at once, so the caller has no child to reap and the program is
// adopted by init; the reported pid is the program's own.
enum class Detachment { kAttached, kDoubleFork };

enum class HangUp { kDefault, kIgnore };

// A descriptor of the caller given to the child at a fixed number.
struct HandedDescriptor {
  int fd = -1;
  int as = -1;
};

struct SpawnRequest {
  std::string path;               // absolute path of the program; never run through a shell
  std::vector<std::string> args;  // after argv[0]
  // Added to (or replacing in) the inherited environment.
  std::vector<std::pair<std::string, std::string>> envAdditions;
  InputSource stdinFrom = InputSource::kDevNull;
  OutputTarget stdoutTo;
  OutputTarget stderrTo;
  std::optional<HandedDescriptor> handOver;
  Grouping grouping = Grouping::kInherit;
  Detachment detachment = Detachment::kAttached;
  HangUp hangUp = HangUp::kDefault;
  // Linux: this signal reaches the program when the thread that started it
  // ends; 0 for none. Ignored elsewhere and for a detached program.
  int parentDeathSignal = 0;
  // With kDoubleFork: a supervisor, adopted by init and holding none of the
  // caller's descriptors, waits for the program and then writes
  // "{pid} {status}\n" here (the exit code, or 128 + the signal that ended
  // it), so an ending nobody else sees is still known. The program then
  // leads a process group of its own inside the supervisor's session.
  std::string exitStatusFile;
  std::string workingDir;  // empty: inherit
};

// The started program; the caller owns the pipe ends (-1 where none) and,
// unless it was detached, must reap `pid`.
struct SpawnedProcess {
  int pid = -1;
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
};

// Starts the program and returns once it runs (exec succeeded) or could not
// be started: kLaunchFailed with "not an absolute path: ...", "pipe: ...",
// "fork: ...", "<path>: <reason>" (exec or working folder), or an errnoError
// for an output file that could not be opened. The child starts with no
// blocked signals and default SIGPIPE, SIGTERM and SIGINT handling.
[[nodiscard]] Result<SpawnedProcess> spawn(const SpawnRequest& request);

}  // namespace brimvale
