// The cloud providers' eviction tools (drop a file's local copy, keep it in
// the cloud) and the count of the startup volume's local snapshots. Both are
// tool calls on macOS; where the tools are missing, nothing is evicted and
// the count is 0.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/base/process.h"

namespace brimvale::platform {

enum class EvictionTool { kBrctl, kFileProviderCtl };

// "brctl" or "fileproviderctl", as reports name them.
[[nodiscard]] std::string_view evictionToolName(EvictionTool tool);

class CloudEviction {
 public:
  virtual ~CloudEviction() = default;
  // The tool's program exists and is executable.
  [[nodiscard]] virtual bool installed(EvictionTool tool) = 0;
  // Asked once per process: EVICT_BRCTL_SUPPORTED / EVICT_FPCTL_SUPPORTED
  // ("yes" or "no") preset the answer, otherwise the tool's usage text must
  // list an `evict` subcommand. False for a tool that is not installed.
  [[nodiscard]] virtual bool supportsEvict(EvictionTool tool) = 0;
  // Runs `{tool} evict {file}`; true on exit status 0. An unsupported tool
  // fails without running.
  [[nodiscard]] virtual bool evict(EvictionTool tool, const std::string& file) = 0;
};

class LocalSnapshots {
 public:
  virtual ~LocalSnapshots() = default;
  // Local snapshots of the startup volume; 0 when the tool is missing or fails.
  [[nodiscard]] virtual std::size_t count() = 0;
};

struct CloudToolPaths {
  std::string brctl = "/usr/bin/brctl";
  std::string fileproviderctl = "/usr/bin/fileproviderctl";
  std::string tmutil = "/usr/bin/tmutil";
};

[[nodiscard]] std::unique_ptr<CloudEviction> makeToolCloudEviction(CloudToolPaths paths,
                                                                   ProcessRunner run);
[[nodiscard]] std::unique_ptr<LocalSnapshots> makeToolLocalSnapshots(std::string tmutil,
                                                                     ProcessRunner run);

// A line of optional blanks followed by the word `evict` (and nothing else).
[[nodiscard]] bool usageAdvertisesEvict(std::string_view usage);

// Lines of `tmutil listlocalsnapshots /` that name a Time Machine snapshot.
[[nodiscard]] std::size_t countTimeMachineSnapshots(std::string_view listing);

}  // namespace brimvale::platform
