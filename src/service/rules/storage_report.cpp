#include "service/rules/storage_report.h"

#include <array>
#include <filesystem>
#include <ostream>
#include <string_view>

#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/rule_text.h"
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

// The history's folders, written with the home folder as "~".
constexpr std::array<std::string_view, 8> kHistoryFolders{"Downloads",
                                                          "Documents",
                                                          "Desktop",
                                                          "Library/Caches",
                                                          "Library/Containers",
                                                          "Library/Developer/Xcode/DerivedData",
                                                          "Movies",
                                                          "Pictures"};

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
  std::uint64_t saved = 0;
  if (auto text = readFile(ctx.paths.state / "cumulative-saved-bytes")) {
    const auto lines = splitLines(*text);
    if (!lines.empty())
      saved = static_cast<std::uint64_t>(wholeNumber(trimBlanks(lines[0])).value_or(0));
  }
  JsonObjectWriter dirs;
  for (std::string_view folder : kHistoryFolders) {
    const fs::path path = ctx.paths.home / folder;
    if (!pathExists(path).value_or(false)) continue;
    dirs.number("~/" + std::string(folder), diskUsageBytes(path).value_or(0) / 1024 / 1024);
  }
  return JsonObjectWriter()
      .string("ts", isots(ctx.clock()))
      .number("internal_free_gb", decimalGb(internal.freeBytes))
      .number("internal_total_gb", decimalGb(internal.totalBytes))
      .number("nvme_free_gb", decimalGb(drive.freeBytes))
      .number("nvme_total_gb", decimalGb(drive.totalBytes))
      .number("cumulative_saved_bytes", saved)
      .raw("dirs_mb", dirs.str())
      .str();
}

void appendHistoryRow(const fs::path& history, const std::string& row, std::size_t maxRows) {
  (void)appendNdjsonLine(history, row);
  auto text = readFile(history);
  if (!text) return;
  const auto lines = splitLines(*text);
  if (lines.size() <= maxRows) return;
  std::string kept;
  for (std::size_t i = lines.size() - maxRows; i < lines.size(); ++i) {
    kept.append(lines[i]).push_back('\n');
  }
  (void)writeFileAtomically(history, kept);
}

int snapshotCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const std::int64_t maxRows = ctx.cfg().getInt(config_keys::kHistoryMaxDays);
  appendHistoryRow(ctx.paths.state / "history.ndjson", historyRow(ctx),
                   static_cast<std::size_t>(std::max<std::int64_t>(maxRows, 1)));
  ctx.out << "Snapshot written: " << isots(ctx.clock()) << "\n";
  return 0;
}

}  // namespace brimvale::service
