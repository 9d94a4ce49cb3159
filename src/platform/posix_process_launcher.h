// The real process launcher of both backends: spawn, kill and waitpid, with
// the process's identity read from /proc where the system has it.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace brimvale::platform {

[[nodiscard]] std::unique_ptr<ProcessLauncher> makePosixProcessLauncher();

// Whether a NUL-separated command line names `program` as argv[0], or as
// argv[1] when a script runs under its interpreter.
[[nodiscard]] bool commandLineNames(std::string_view cmdline, std::string_view program);

}  // namespace brimvale::platform
