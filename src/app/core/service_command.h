// One run of the installed service program, brim-vale, as the commands and
// the dashboard start it: its arguments, GNU rsync and a time limit.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"
#include "common/state/paths.h"

namespace brimvale::app {

// What a command that needs the service says before the installation.
inline constexpr std::string_view kNotInstalledYet =
    "Brimvale is not installed yet; run `brimvale install`.";

// Whether the service program is in place to be run.
[[nodiscard]] bool serviceProgramInstalled(const StatePaths& paths);

// Runs `{home}/.brimvale/brim-vale {args}` once, with RSYNC set when known,
// under `limit`.
// `onStdout`, when given, sees the output as it comes.
[[nodiscard]] ProcessResult runServiceCommand(const ProcessRunner& run, const StatePaths& paths,
                                              const std::string& rsyncPath,
                                              std::vector<std::string> args,
                                              std::chrono::seconds limit,
                                              std::function<void(std::string_view)> onStdout = {});

}  // namespace brimvale::app
