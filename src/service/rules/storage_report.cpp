#include "service/rules/storage_report.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/best_effort.h"
#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/json_writer.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/exclude_list.h"
#include "common/state/usage_history.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

// The probe's paths: one, or one per folder where its path has a `*`, each
// with its label.
std::vector<std::pair<fs::path, std::string>> probePaths(const StorageProbe& probe,
                                                         const fs::path& home) {
  const fs::path path = probe.path.starts_with('/') ? fs::path(probe.path) : home / probe.path;
  const std::string text = path.string();
  const auto star = text.find("/*/");
  if (star == std::string::npos) return {{path, std::string(probe.label)}};
  const fs::path parent = text.substr(0, star);
  const std::string rest = text.substr(star + 3);
  std::vector<std::pair<fs::path, std::string>> paths;
  for (const auto& entry : listEntries(parent).value_or(std::vector<DirEntry>{})) {
    if (!entry.isDirectory()) continue;
    const std::string name = entry.path.filename().string();
    paths.emplace_back(entry.path / rest, std::string(probe.label) + " (" + name + ")");
  }
  std::ranges::sort(paths);
  return paths;
}

}  // namespace

int scanStorageCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return scanStorageIn(kHostHomeLayout, ctx);
}

int scanStorageIn(HomeLayout layout, ServiceContext& ctx) {
  ctx.out
      << JsonObjectWriter().string("timestamp", isots(ctx.clock())).string("phase", "started").str()
      << "\n"
      << std::flush;
  std::uint64_t probed = 0;
  std::uint64_t total = 0;
  const ExcludeList excludes = ExcludeList::of(ctx.cfg(), ctx.paths.home);
  for (const auto& probe : storageProbes(layout)) {
    for (const auto& [path, label] : probePaths(probe, ctx.paths.home)) {
      if (!pathExists(path).value_or(false)) continue;
      // The user asked to leave it alone: named, not measured.
      if (excludes.excludes(path)) {
        ctx.out << JsonObjectWriter()
                       .string("excluded_path", path.string())
                       .string("label", label)
                       .str()
                << "\n"
                << std::flush;
        continue;
      }
      const auto bytes = diskUsageBytes(path);
      if (!bytes) continue;
      ++probed;
      total += *bytes;
      ctx.out << JsonObjectWriter()
                     .string("path", path.string())
                     .string("label", label)
                     .number("size_bytes", *bytes)
                     .boolean("actionable", probe.actionable)
                     .str()
              << "\n"
              << std::flush;
    }
  }
  ctx.out << JsonObjectWriter()
                 .string("timestamp", isots(ctx.clock()))
                 .string("phase", "done")
                 .number("probed", probed)
                 .number("total_bytes", total)
                 .str()
          << "\n";
  return 0;
}

std::string historyRow(ServiceContext& ctx) {
  const platform::VolumeSpace internal = ctx.platform.volumes->measure("/");
  platform::VolumeSpace drive{};
  if (driveUsable(ctx)) drive = ctx.platform.volumes->measure(ctx.cfg().nvme().string());
  return usageHistoryRow(
      ctx.clock(), {internal.freeBytes, internal.totalBytes, drive.freeBytes, drive.totalBytes},
      ctx.paths.home, ctx.paths.state);
}

int snapshotCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  // The row is only a chart point: a failed write is noted, and the command
  // still ends normally.
  bestEffort(appendUsageHistoryRow(ctx.paths.state / kUsageHistoryFile, historyRow(ctx),
                                   ctx.cfg().getInt(config_keys::kHistoryMaxDays), ctx.clock()),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "appending the usage history");
  ctx.out << "Snapshot written: " << isots(ctx.clock()) << "\n";
  return 0;
}

}  // namespace brimvale::service
