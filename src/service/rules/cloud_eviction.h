// Dropping the local copies of cloud-synchronised files (they stay in the
// cloud and download again when opened): finding the cloud roots, picking the
// provider's tool, and walking a root with a circuit breaker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloud_tools.h"
#include "service/core/service_context.h"
#include "service/relocation/guards.h"

namespace brimvale::service {

struct CloudRoot {
  std::string label;  // the name OPTIMISE_CLOUD_PROVIDERS lists
  std::string path;
};

// iCloud Drive, the iCloud-synced Documents and Desktop, then every folder of
// ~/Library/CloudStorage in name order; only roots that exist.
[[nodiscard]] std::vector<CloudRoot> listCloudRoots(const std::filesystem::path& home);

// The tool for a path by where it lies (iCloud trees prefer brctl, file
// provider trees fileproviderctl), falling back to the other installed tool;
// nullopt outside every cloud tree or when neither is installed.
[[nodiscard]] std::optional<platform::EvictionTool> evictionToolFor(
    const std::string& path, const std::filesystem::path& home, platform::CloudEviction& tools);

struct EvictionCounters {
  std::uint64_t evicted = 0;
  std::uint64_t bytesFreed = 0;
  std::uint64_t alreadyCloudOnly = 0;
  std::uint64_t skippedInUse = 0;
  std::uint64_t skippedOther = 0;
};

// Evicts every regular file below `root`, printing a line per file evicted or
// in use. Stops the root after CLOUD_EVICT_FAIL_BREAKER_LIMIT consecutive
// failures (an in-use file or a success resets the run). Adds to `counters`.
void evictRoot(ServiceContext& ctx, Guards& guards, const std::string& root,
               EvictionCounters& counters);

// `list-cloud-roots`: "{label}\t{path}" per root.
int listCloudRootsCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// `optimize-cloud {root}`: 2 without a root or for a missing folder, 3 without
// a tool, 4 outside every cloud tree, else 0.
int optimizeCloudCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
