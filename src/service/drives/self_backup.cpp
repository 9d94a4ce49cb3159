#include "service/drives/self_backup.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "service/core/marker_file.h"
#include "service/core/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kCopyDeadline{10 * 60 * 1000};

// YYYY-mm-dd: only these are backups; anything else in the folder is left alone.
bool isDatedName(const std::string& name) {
  if (name.size() != 10 || name[4] != '-' || name[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

void copyWithRsync(ServiceContext& ctx, const std::string& rsync, std::vector<std::string> args) {
  const ProcessResult copied = runTool(rsync, std::move(args), kCopyDeadline);
  if (!copied.succeeded()) ctx.log.log("backup-self: rsync " + copied.describe());
}

void prune(ServiceContext& ctx, const fs::path& root) {
  std::vector<std::string> dated;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    std::string name = entry.path().filename().string();
    if (isDatedName(name)) dated.push_back(std::move(name));
  }
  std::sort(dated.begin(), dated.end(), std::greater<>());
  const auto keep = static_cast<std::size_t>(
      std::max<std::int64_t>(ctx.cfg().getInt(config_keys::kSelfBackupRetentionDays), 0));
  for (std::size_t i = keep; i < dated.size(); ++i) fs::remove_all(root / dated[i], ec);
}

}  // namespace

int backupSelfCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  if (!driveUsable(ctx)) {
    ctx.out << "NVMe not mounted — skipping self-backup.\n";
    return 0;
  }
  const std::string date = isots(ctx.clock()).substr(0, 10);  // UTC date
  const fs::path root = ctx.cfg().base() / "Brimvale-Backup";
  const fs::path folder = root / date;
  // A folder that cannot be made shows as the copies' failures below.
  bestEffort(createDirectories(folder), DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "creating the self-backup folder");
  std::string rsync = ctx.rsyncPath();
  if (rsync.empty()) rsync = "/usr/bin/rsync";
  if (pathExists(ctx.paths.config).value_or(false)) {
    copyWithRsync(ctx, rsync, {"-a", ctx.paths.config.string(), folder.string() + "/"});
  }
  if (isDirectory(ctx.paths.state).value_or(false)) {
    copyWithRsync(ctx, rsync,
                  {"-a", "--exclude=*.log", ctx.paths.state.string(), folder.string() + "/"});
  }
  const fs::path sync = ctx.paths.root / "sync";
  if (isDirectory(sync).value_or(false)) {
    copyWithRsync(ctx, rsync, {"-a", sync.string(), folder.string() + "/"});
  }
  std::string version = markerValue(ctx.cfg().base(), "marker_version");
  if (version.empty()) version = "unknown";
  bestEffort(writeFileAtomically(folder / "manifest.txt",
                                 renderKeyValues({{"backup_date", date},
                                                  {"host", ctx.platform.host->computerName()},
                                                  {"version", version}})),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the self-backup's manifest");
  prune(ctx, root);
  ctx.out << "Self-backup written to: " << folder.string() << "\n";
  return 0;
}

}  // namespace brimvale::service
