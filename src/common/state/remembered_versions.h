// Asking a program for its version (`rsync --version`) costs a process start
// on every command that copies. The answer is kept in a file and given again
// for as long as the program file is the same one, unchanged.
#pragma once

#include <filesystem>

#include "common/base/process.h"

namespace brimvale {

// Where both programs keep the answers, in the state folder.
inline constexpr const char* kProgramVersionsFile = "program-versions.json";

// `run`, except that a run of a program with the one argument "--version"
// that exited is remembered in `file`, keyed by the program's path and its
// file's device, inode, size and both time stamps (links followed). A later
// such run of the same, unchanged program is answered from `file` without
// starting it. A file missing, unreadable or damaged only means the program
// is asked again; every other invocation goes to `run` unchanged.
[[nodiscard]] ProcessRunner rememberingVersions(ProcessRunner run, std::filesystem::path file);

}  // namespace brimvale
