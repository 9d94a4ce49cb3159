#include "service/rules/cloud_eviction.h"

#include <algorithm>
#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/platform_words.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/exclude_list.h"
#include "service/core/action_log.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;
using platform::EvictionTool;

namespace {

std::string cloudStorageLabel(const std::string& name) {
  auto rest = [&](std::string_view prefix) { return name.substr(prefix.size()); };
  if (name.starts_with("GoogleDrive-")) return "Google Drive (" + rest("GoogleDrive-") + ")";
  if (name.starts_with("OneDrive-")) return "OneDrive (" + rest("OneDrive-") + ")";
  if (name.starts_with("Dropbox")) return "Dropbox";
  if (name.starts_with("Box-")) return "Box (" + rest("Box-") + ")";
  return name;
}

bool atOrBelow(const std::string& path, const fs::path& folder) {
  const std::string f = folder.string();
  return path == f || path.starts_with(f + "/");
}

std::string mib(std::uint64_t bytes) { return std::to_string(bytes / 1048576); }

const std::string kEvictionRule(40, '-');

// One regular file; true when its eviction failed (the run of failures grows).
bool offerForEviction(ServiceContext& ctx, Guards& guards, EvictionTool tool,
                      const std::string& file, EvictionCounters& counters, std::int64_t& failures) {
  const std::uint64_t size = bytesOf(file).value_or(0);
  if (size == 0 || ctx.platform.files->isDataless(file)) {
    ++counters.alreadyCloudOnly;
    return false;
  }
  if (guards.isOpen(file)) {
    ++counters.skippedInUse;
    ctx.out << "skip (in use): " << file << "\n";
    failures = 0;
    return false;
  }
  if (ctx.platform.eviction->evict(tool, file)) {
    ++counters.evicted;
    counters.bytesFreed += size;
    ctx.out << "evicted: " << file << " (" << size << " bytes)\n";
    failures = 0;
    return false;
  }
  ++counters.skippedOther;
  ++failures;
  return true;
}

}  // namespace

std::vector<CloudRoot> listCloudRoots(const fs::path& home) {
  std::vector<CloudRoot> roots;
  std::error_code ec;
  const fs::path icloud = home / "Library/Mobile Documents/com~apple~CloudDocs";
  if (fs::exists(icloud, ec)) roots.push_back({"iCloud Drive", icloud.string()});
  if (fs::exists(icloud / "Documents", ec)) {
    roots.push_back({"iCloud · ~/Documents", (home / "Documents").string()});
  }
  if (fs::exists(icloud / "Desktop", ec)) {
    roots.push_back({"iCloud · ~/Desktop", (home / "Desktop").string()});
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(home / "Library/CloudStorage", ec)) {
    if (entry.is_directory(ec)) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    roots.push_back({cloudStorageLabel(name), (home / "Library/CloudStorage" / name).string()});
  }
  return roots;
}

std::optional<EvictionTool> evictionToolFor(const std::string& path, const fs::path& home,
                                            platform::CloudEviction& tools) {
  std::optional<EvictionTool> preferred;
  if (path.find("/Library/Mobile Documents/") != std::string::npos) {
    preferred = EvictionTool::kBrctl;
  } else if (path.find("/Library/CloudStorage/") != std::string::npos) {
    preferred = EvictionTool::kFileProviderCtl;
  } else if (atOrBelow(path, home / "Documents") || atOrBelow(path, home / "Desktop")) {
    preferred = EvictionTool::kBrctl;
  }
  if (!preferred) return std::nullopt;
  if (tools.installed(*preferred)) return preferred;
  const EvictionTool other =
      *preferred == EvictionTool::kBrctl ? EvictionTool::kFileProviderCtl : EvictionTool::kBrctl;
  if (tools.installed(other)) return other;
  return std::nullopt;
}

void evictRoot(ServiceContext& ctx, Guards& guards, const std::string& root,
               EvictionCounters& counters) {
  platform::CloudEviction& tools = *ctx.platform.eviction;
  const auto tool = evictionToolFor(root, ctx.paths.home, tools);
  if (!tool) {
    ctx.out << "skip (no tool): " << root << "\n";
    return;
  }
  if (!guards.isCloudPath(root)) {
    ctx.out << "skip (not cloud): " << root << "\n";
    return;
  }
  if (!isDirectory(root).value_or(false)) {
    ctx.out << "skip (missing): " << root << "\n";
    return;
  }
  const std::string toolName(platform::evictionToolName(*tool));
  if (!tools.supportsEvict(*tool)) {
    ctx.out << "skip (" << root << "): " << toolName
            << " does not advertise an 'evict' subcommand on this " << kHostWords.system
            << " version.\n"
            << "  → To evict manually, right-click the folder in " << kHostWords.fileManager
            << " and choose Remove Download.\n";
    return;
  }
  const std::int64_t limit = ctx.cfg().getInt(config_keys::kCloudEvictFailBreakerLimit);
  std::int64_t failures = 0;
  // Each folder's files in name order, then its sub-folders in name order, so
  // reports and the breaker's run do not depend on the file system's listing.
  // Excluded folders are not entered, so each name is matched as it is listed.
  const ExcludeList excludes = ExcludeList::of(ctx.cfg(), ctx.paths.home);
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path folder = std::move(pending.back());
    pending.pop_back();
    auto entries = listEntries(folder).value_or(std::vector<DirEntry>{});
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.path < b.path; });
    std::vector<fs::path> subfolders;
    for (const auto& entry : entries) {
      if (excludes.excludes(entry.path)) continue;
      if (entry.isDirectory()) {
        subfolders.push_back(entry.path);
        continue;
      }
      if (!entry.isRegular()) continue;
      if (!offerForEviction(ctx, guards, *tool, entry.path.string(), counters, failures)) continue;
      if (failures >= limit) {
        ctx.out << "circuit-breaker: " << failures << " consecutive eviction failures — aborting "
                << root << ".\n"
                << "  Likely cause: " << toolName << "'s behaviour changed on this "
                << kHostWords.system << " version, or the provider\n"
                << "  has restrictions we don't model. Other Free Up Space steps were "
                   "unaffected.\n";
        return;
      }
    }
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
}

int listCloudRootsCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  for (const auto& root : listCloudRoots(ctx.paths.home)) {
    ctx.out << root.label << "\t" << root.path << "\n";
  }
  return 0;
}

int optimizeCloudCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty()) {
    ctx.out << "usage: brim-vale optimize-cloud <cloud-root-path>\n\n"
            << "Available cloud roots on this " << kHostWords.computer << ":\n";
    for (const auto& root : listCloudRoots(ctx.paths.home)) {
      std::string label = root.label;
      label.resize(std::max<std::size_t>(label.size(), 30), ' ');
      ctx.out << "  • " << label << " " << root.path << "\n";
    }
    return 2;
  }
  const std::string& root = args[0];
  ctx.out << "Optimising cloud storage locally — walking: " << root << "\n"
          << kEvictionRule << "\n";
  if (!isDirectory(root).value_or(false)) {
    ctx.out << "ERR: not a directory: " << root << "\n";
    return 2;
  }
  const auto tool = evictionToolFor(root, ctx.paths.home, *ctx.platform.eviction);
  if (!tool) {
    ctx.out << "ERR: no eviction tool available for " << root << "\n"
            << "     Expected one of: /usr/bin/brctl, /usr/bin/fileproviderctl\n"
            << kHostWords.evictionToolMissing;
    return 3;
  }
  ctx.out << "Eviction tool: " << platform::evictionToolName(*tool) << "\n";
  Guards guards(ctx.paths.home, *ctx.platform.files);
  if (!guards.isCloudPath(root)) {
    ctx.out << "ERR: " << root << " is not under any cloud storage tree — nothing to optimise.\n";
    return 4;
  }
  ctx.out << "Started: " << ts(ctx.clock()) << "\n\n";
  EvictionCounters counters;
  evictRoot(ctx, guards, root, counters);
  ctx.out << "\n"
          << kEvictionRule << "\n"
          << "Finished: " << ts(ctx.clock()) << "\n"
          << "Evicted:           " << counters.evicted << " files\n"
          << "Already cloud-only: " << counters.alreadyCloudOnly << " files\n"
          << "Skipped (in use):  " << counters.skippedInUse << " files\n"
          << "Skipped (other):   " << counters.skippedOther << " files\n"
          << "Local space freed: " << mib(counters.bytesFreed) << " MB (" << counters.bytesFreed
          << " bytes)\n\n";
  if (counters.evicted > 0) {
    ctx.out << "All files remain in the cloud and re-download on demand when opened.\n";
  } else if (counters.alreadyCloudOnly > 0) {
    ctx.out << "Nothing to evict — every file under " << root << " is already cloud-only.\n";
  }
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return 0;
}

}  // namespace brimvale::service
