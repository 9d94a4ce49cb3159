#include "service/drives/self_backup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/folder_walk.h"
#include "common/base/mount_anchor.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/path_policy.h"
#include "service/core/marker_file.h"
#include "service/core/status_snapshot.h"
#include "service/relocation/checked_folder.h"

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

// Makes `folder` a real folder (never a link) inside its parent; why not, when it fails.
std::optional<std::string> makeRealFolder(const fs::path& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return errnoError("create " + folder.string(), errno).message();
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0)
    return errnoError("look at " + folder.string(), errno).message();
  if (!S_ISDIR(st.st_mode)) return folder.string() + " is not a folder (a link or a file is there)";
  return std::nullopt;
}

class SelfBackup {
 public:
  SelfBackup(ServiceContext& ctx, std::optional<MountAnchor> drive)
      : ctx_(ctx),
        drive_(std::move(drive)),
        root_(ctx.cfg().base() / "Brimvale-Backup"),
        folder_(root_ / isots(ctx.clock()).substr(0, 10)) {}  // UTC date

  int run() {
    if (auto wrong = write()) {
      ctx_.log.log("backup-self: " + *wrong);
      ctx_.out << "The self-backup couldn't be written to " << folder_.string() << ": " << *wrong
               << ". Your settings and state are safe where they are and earlier backups were "
                  "kept; the next run tries again.\n";
      return 1;
    }
    ctx_.out << "Self-backup written to: " << folder_.string() << "\n";
    return 0;
  }

 private:
  // Why the backup is not complete; nothing when it is, with the old ones pruned.
  std::optional<std::string> write() {
    const std::string gone = "the drive at " + ctx_.cfg().nvme().string() + " was disconnected";
    if (!onDrive(ctx_.cfg().base())) return gone;
    if (auto why = makeRealFolder(root_)) return why;
    if (auto why = makeRealFolder(folder_)) return why;
    if (!onDrive(folder_)) return gone;
    std::string rsync = ctx_.rsyncPath();
    if (rsync.empty()) rsync = "/usr/bin/rsync";
    const bool config = pathExists(ctx_.paths.config).value_or(false);
    const bool state = isDirectory(ctx_.paths.state).value_or(false);
    const fs::path sync = ctx_.paths.root / "sync";
    std::vector<std::vector<std::string>> copies;
    if (config) copies.push_back({"-a", ctx_.paths.config.string(), folder_.string() + "/"});
    if (state) {
      copies.push_back(
          {"-a", "--exclude=*.log", ctx_.paths.state.string(), folder_.string() + "/"});
    }
    if (isDirectory(sync).value_or(false))
      copies.push_back({"-a", sync.string(), folder_.string() + "/"});
    for (auto& args : copies) {
      // rsync follows nothing it writes through, but the folder it writes
      // into must still be on the drive before it starts.
      if (!onDrive(folder_)) return gone;
      const ProcessResult copied = runTool(platform::runnerOf(*ctx_.platform.launcher), rsync,
                                           std::move(args), kCopyDeadline);
      if (!copied.succeeded()) {
        if (!onDrive(folder_)) return gone;
        return "copying with rsync failed (" + copied.describe() + ")";
      }
    }
    stopPoint("self-backup:copied");
    if (!onDrive(folder_)) return gone;
    std::string version = markerValue(ctx_.cfg().base(), "marker_version");
    if (version.empty()) version = "unknown";
    if (auto wrote = writeFileAtomically(
            folder_ / "manifest.txt", renderKeyValues({{"backup_date", folder_.filename().string()},
                                                       {"host", ctx_.platform.host->computerName()},
                                                       {"version", version}}));
        !wrote) {
      return onDrive(folder_) ? "its manifest couldn't be written (" + wrote.error().message() + ")"
                              : gone;
    }
    // What is said is checked: everything copied is there, on the drive.
    if (!onDrive(folder_) || !pathExists(folder_ / "manifest.txt").value_or(false) ||
        (config && !pathExists(folder_ / ctx_.paths.config.filename()).value_or(false)) ||
        (state && !isDirectory(folder_ / ctx_.paths.state.filename()).value_or(false))) {
      return onDrive(folder_) ? "the copies are not all there after copying" : gone;
    }
    stopPoint("self-backup:pruning");
    prune();
    return std::nullopt;
  }

  [[nodiscard]] bool onDrive(const fs::path& folder) const {
    return drive_ && drive_->holds(folder);
  }

  // Keeps the SELF_BACKUP_RETENTION_DAYS newest dated backups. Each older one
  // goes as it was when listed: anything written into it since stays.
  void prune() {
    const PathPolicy policy(PathPolicy::rootsFor(ctx_.paths.home, ctx_.cfg().base()));
    auto checked = CheckedFolder::open(policy, root_);
    if (!checked) {
      ctx_.log.log("backup-self: old backups not pruned: " + checked.error());
      return;
    }
    const auto listedAt = std::chrono::system_clock::now();
    std::vector<DirEntry> dated;
    for (auto& entry : listEntries(root_).value_or(std::vector<DirEntry>{})) {
      if (isDatedName(entry.path.filename().string())) dated.push_back(std::move(entry));
    }
    std::sort(dated.begin(), dated.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.path > b.path; });
    const auto keep = static_cast<std::size_t>(
        std::max<std::int64_t>(ctx_.cfg().getInt(config_keys::kSelfBackupRetentionDays), 0));
    for (std::size_t i = keep; i < dated.size(); ++i) {
      if (!onDrive(root_)) return;
      const ListedRemoval removed =
          checked->removeAsListed(dated[i].path.filename(), dated[i].info, listedAt);
      if (!removed.gone) {
        ctx_.log.log("backup-self: kept the old backup " + dated[i].path.string() +
                     " (something in it changed lately or couldn't be removed)");
      }
    }
  }

  ServiceContext& ctx_;
  std::optional<MountAnchor> drive_;
  fs::path root_;
  fs::path folder_;
};

}  // namespace

int backupSelfCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  if (!driveUsable(ctx)) {
    ctx.out << "NVMe not mounted — skipping self-backup.\n";
    return 0;
  }
  return SelfBackup(ctx, MountAnchor::take(ctx.cfg().nvme())).run();
}

}  // namespace brimvale::service
