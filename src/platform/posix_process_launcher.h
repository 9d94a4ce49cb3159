// The real process launcher of both backends: runs to completion, spawn,
// detached work, kill and waitpid, with the process's identity read from
// /proc where the system has it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace brimvale::platform {

[[nodiscard]] std::unique_ptr<ProcessLauncher> makePosixProcessLauncher();

// Field 22 of a /proc/<pid>/stat line: when the process started, in clock
// ticks after boot; nothing for a line that is cut short.
[[nodiscard]] std::optional<std::string> startTicks(std::string_view stat);

// Whether a NUL-separated command line names `program` as argv[0], or as
// argv[1] when a script runs under its interpreter.
[[nodiscard]] bool commandLineNames(std::string_view cmdline, std::string_view program);

}  // namespace brimvale::platform
