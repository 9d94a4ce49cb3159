// Which processes use anything inside a folder (open files, working or root
// folders, executables, mapped files): the in-use test of every folder move,
// shared by the application's mover and the service's move-dir.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/process.h"

namespace brimvale {

struct FolderInUseEntry {
  std::string id;           // executable path, else "pid-<n>"
  std::string displayName;  // command name, else "Process <pid>"
  std::optional<std::string> bundleIdentifier;
  std::vector<int> pids;
};

// Parses `lsof -F pc` output into processes, dropping `ownPid`, grouped by
// `executableOf(pid)` (empty when unknown).
[[nodiscard]] std::vector<FolderInUseEntry> parseInUseOutput(
    std::string_view output, int ownPid, const std::function<std::string(int)>& executableOf);

// Runs `lsof +D folder -F pc`, or on Linux reads the open files, working and
// root folders, executables and mappings of every process under /proc, which
// gives the same answer without walking the folder. Cut off after `limit`
// with what was found so far. Never fails: a probe that cannot run gives nothing.
class FolderInUseProbe {
 public:
  // lsof runs through `run`.
  explicit FolderInUseProbe(ProcessRunner run, std::string lsofPath = "/usr/bin/lsof",
                            std::chrono::milliseconds limit = std::chrono::seconds(8));
  // Linux only; `procRoot` is where the process table is mounted.
  [[nodiscard]] static FolderInUseProbe procScanner(
      std::filesystem::path procRoot = "/proc",
      std::chrono::milliseconds limit = std::chrono::seconds(8));
  // The process table where there is one, else lsof found on the usual paths.
  [[nodiscard]] static FolderInUseProbe forThisSystem(ProcessRunner run);
  [[nodiscard]] std::vector<FolderInUseEntry> scan(const std::string& folder) const;

 private:
  [[nodiscard]] std::vector<FolderInUseEntry> scanProc(const std::string& folder) const;
  ProcessRunner run_;
  std::string lsofPath_;
  std::optional<std::filesystem::path> procRoot_;
  std::chrono::milliseconds limit_;
};

// Waits (polling) until no process uses anything inside `folder`, at most
// `limit`; false when something still does. For leftovers of a stopped run,
// whose copier may take a moment to notice its parent is gone.
[[nodiscard]] bool waitUntilUnused(const FolderInUseProbe& probe, const std::string& folder,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10));

// "vim (pid 10, 11), bash (pid 12)": for telling the user who holds a folder.
[[nodiscard]] std::string describeInUse(const std::vector<FolderInUseEntry>& entries);

}  // namespace brimvale
