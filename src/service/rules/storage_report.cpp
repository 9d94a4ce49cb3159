#include "service/rules/storage_report.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <ostream>
#include <string_view>

#include "common/base/best_effort.h"
#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/json_writer.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/usage_history.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

struct Probe {
  std::string_view path;  // relative to home unless absolute
  std::string_view label;
  bool actionable;
};

constexpr std::array kProbes{
    Probe{"Library/Application Support/MobileSync/Backup", "iOS device backups", true},
    Probe{"Library/Containers/com.docker.docker/Data", "Docker VM data", true},
    Probe{"Library/Developer/CoreSimulator/Devices", "Xcode simulator images", true},
    Probe{"Library/Developer/Xcode/iOS DeviceSupport", "Xcode iOS debug symbols", true},
    Probe{"Library/Developer/Xcode/Archives", "Xcode release archives", true},
    Probe{"Library/Developer/Xcode/DerivedData", "Xcode build cache", true},
    Probe{"Library/Caches/Homebrew", "Homebrew cache", true},
    Probe{"Library/Caches/CocoaPods", "CocoaPods cache", true},
    Probe{"Library/Caches/pip", "Pip cache", true},
    Probe{"Library/Caches/Yarn", "Yarn cache", true},
    Probe{".npm/_cacache", "npm cache", true},
    Probe{".pnpm-store", "pnpm store", true},
    Probe{".cargo/registry/cache", "Cargo registry cache", true},
    Probe{".gradle/caches", "Gradle cache", false},
    Probe{"Library/Application Support/Claude", "Claude app data", true},
    Probe{"Library/Application Support/Cursor", "Cursor app data", true},
    Probe{"Library/Application Support/Code", "VS Code app data", true},
    Probe{"Library/Application Support/Slack", "Slack app data", true},
    Probe{"Library/Application Support/discord", "Discord app data", true},
    Probe{"Library/Application Support/Microsoft Teams", "Microsoft Teams app data", true},
    Probe{"Library/Application Support/Spotify", "Spotify app data", true},
    Probe{"Library/Application Support/zoom.us", "Zoom app data", true},
    Probe{"Library/Application Support/WhatsApp", "WhatsApp app data", true},
    Probe{"Library/Application Support/Figma Desktop", "Figma app data", true},
    Probe{"Downloads", "Downloads folder", true},
    Probe{"Desktop", "Desktop folder", true},
    Probe{".Trash", "Trash", true},
    Probe{"Library/Logs/DiagnosticReports", "Diagnostic reports", true},
    Probe{"Library/Logs/CrashReporter", "Crash reports", true},
    Probe{"Library/Caches/com.apple.QuickLook.thumbnailcache", "Quick Look cache", true},
    Probe{"Library/Mail Downloads", "Mail attachment downloads", true},
    Probe{"/Applications", "Installed apps", false},
    Probe{"Library/Photos", "Photos library", false},
    Probe{"Library/Mail", "Mail message store", false},
    Probe{"Documents", "Documents folder", true},
};

}  // namespace

int scanStorageCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  ctx.out
      << JsonObjectWriter().string("timestamp", isots(ctx.clock())).string("phase", "started").str()
      << "\n"
      << std::flush;
  std::uint64_t probed = 0;
  std::uint64_t total = 0;
  for (const auto& probe : kProbes) {
    const fs::path path =
        probe.path.starts_with('/') ? fs::path(probe.path) : ctx.paths.home / probe.path;
    if (!pathExists(path).value_or(false)) continue;
    const auto bytes = diskUsageBytes(path);
    if (!bytes) continue;
    ++probed;
    total += *bytes;
    ctx.out << JsonObjectWriter()
                   .string("path", path.string())
                   .string("label", probe.label)
                   .number("size_bytes", *bytes)
                   .boolean("actionable", probe.actionable)
                   .str()
            << "\n"
            << std::flush;
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
  const std::int64_t maxRows = ctx.cfg().getInt(config_keys::kHistoryMaxDays);
  // The row is only a chart point: a failed write is noted, and the command
  // still ends normally.
  bestEffort(appendUsageHistoryRow(ctx.paths.state / kUsageHistoryFile, historyRow(ctx),
                                   static_cast<std::size_t>(std::max<std::int64_t>(maxRows, 1))),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock), "appending the usage history");
  ctx.out << "Snapshot written: " << isots(ctx.clock()) << "\n";
  return 0;
}

}  // namespace brimvale::service
