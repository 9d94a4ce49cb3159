#include "service/relocation/relocation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/move_scope.h"
#include "service/core/action_log.h"
#include "service/core/status_snapshot.h"
#include "service/relocation/move_dir_record.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

const std::string kRule(66, '-');
// Copy-again rounds after parking before a folder that keeps changing is put back.
constexpr int kCompareRounds = 3;

// The path as given, made absolute, without trailing slashes (so a link is
// examined as a link, not as the folder it points to).
fs::path normalisedSource(const std::string& path) {
  std::string text = path;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  std::error_code ec;
  fs::path absolute = fs::absolute(text, ec);
  return ec ? fs::path(text) : absolute.lexically_normal();
}

// Claims a fresh target folder: Relocated/{name}, else Relocated/{name}.{epoch}
// (with a counter when a move in the same second took that too). Creating it
// here means the copy never lands in, and a failure never deletes, a folder
// that an earlier relocation owns.
std::optional<fs::path> claimTarget(const fs::path& relocated, const std::string& name,
                                    std::time_t now) {
  const std::string stamped = name + "." + std::to_string(now);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = relocated / (attempt == 0   ? name
                                      : attempt == 1 ? stamped
                                                     : stamped + "." + std::to_string(attempt));
    const std::error_code made = createExclusively(candidate, ClaimKind::kFolder);
    if (!made) return candidate;
    if (made != std::errc::file_exists) return std::nullopt;
  }
  return std::nullopt;
}

fs::path parkedName(const fs::path& src, std::time_t now) {
  const std::string plain = src.string() + ".hollin-old";
  const std::string stamped = plain + "." + std::to_string(now);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = attempt == 0   ? fs::path(plain)
                         : attempt == 1 ? fs::path(stamped)
                                        : fs::path(stamped + "." + std::to_string(attempt));
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
  return stamped;
}

// `name` is `base` or `base` followed by "." and digits (once or twice).
bool isStampedName(const std::string& name, const std::string& base) {
  if (!name.starts_with(base)) return false;
  std::string_view rest = std::string_view(name).substr(base.size());
  while (!rest.empty()) {
    if (rest.front() != '.' || rest.size() < 2) return false;
    rest.remove_prefix(1);
    const auto digits = rest.find_first_not_of("0123456789");
    if (digits == 0) return false;
    rest.remove_prefix(digits == std::string_view::npos ? rest.size() : digits);
  }
  return true;
}

// The tool's own last line of error output, for the cause after a sentence.
std::string lastLine(std::string_view text) {
  const auto lines = splitLines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!trimBlanks(*it).empty()) return std::string(trimBlanks(*it));
  }
  return "no message";
}

// What lies at a path, the final link not followed, measured against the
// folder the move started with.
enum class Found { kNothing, kOurFolder, kOtherFolder, kLinkToTarget, kOther };

Found examine(const fs::path& path, const MoveDirRecord& rec) {
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0)
    return errno == ENOENT || path.empty() ? Found::kNothing : Found::kOther;
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    return fs::read_symlink(path, ec) == rec.target && !ec ? Found::kLinkToTarget : Found::kOther;
  }
  if (!S_ISDIR(st.st_mode)) return Found::kOther;
  const bool same = static_cast<std::uint64_t>(st.st_dev) == rec.device &&
                    static_cast<std::uint64_t>(st.st_ino) == rec.inode;
  return same ? Found::kOurFolder : Found::kOtherFolder;
}

std::string describe(Found found) {
  switch (found) {
    case Found::kNothing: return "nothing";
    case Found::kOurFolder: return "the original folder";
    case Found::kOtherFolder: return "a different folder";
    case Found::kLinkToTarget: return "the link to the copy";
    case Found::kOther: return "something else";
  }
  return "something else";
}

// One relocation at a time per home, shared with the application's folder
// mover (the same lock file and holder line), so move-dir and a folder move
// never work on one folder at once: a second one waits, then finds the folder
// already relocated. The kernel drops the lock with the process.
class MoveDirLock {
 public:
  [[nodiscard]] Result<void> acquire(const StatePaths& paths, std::ostream& out) {
    std::error_code ec;
    const fs::path file = paths.state / "apps-relocator" / ".lock";
    fs::create_directories(file.parent_path(), ec);
    auto opened = FileLock::open(file);
    if (!opened) return std::unexpected(naming("opening " + file.string(), opened.error()));
    lock_ = std::move(*opened);
    if (auto taken = lock_.tryLock(); !taken || !*taken) {
      out << "Another folder relocation is running; waiting for it to finish\u2026\n" << std::flush;
      if (auto waited = lock_.lock(); !waited) {
        return std::unexpected(naming("locking " + file.string(), waited.error()));
      }
    }
    lock_.recordHolder();
    return {};
  }

 private:
  // `error` (the system's reason) told as what was being done to the file.
  static Error naming(const std::string& what, const Error& error) {
    return Error{error.code, what + ": " + error.detail};
  }

  FileLock lock_;
};

class MoveDir {
 public:
  MoveDir(ServiceContext& ctx, const FolderInUseProbe& inUse)
      : ctx_(ctx), inUse_(inUse), out_(ctx.out) {}

  MoveDirCode run(const std::string& path);

 private:
  MoveDirCode fresh();
  MoveDirCode resume();
  // The move scope, the drive, and the processes using the folder; kRelocated
  // when the move may go on.
  MoveDirCode checkSourceAndDrive();
  MoveDirCode inUseCheck(const fs::path& folder, bool putBackFirst);
  MoveDirCode copy();
  MoveDirCode park();
  MoveDirCode compare();
  MoveDirCode link();
  MoveDirCode finish();

  [[nodiscard]] bool save() { return writeMoveDirRecord(ctx_.paths, rec_).has_value(); }
  [[nodiscard]] bool ensureUndoRow();
  // Removes what this move made (the copy, its undo row, its record); the
  // original is where it was.
  void discard();
  // Renames the parked original back, then discards; on failure says where
  // everything is and keeps the record.
  bool putBack();
  void refuse(const std::string& sentence) {
    out_ << "ERR: " << sentence << "\n";
    ctx_.log.log("move-dir refused: " + sentence);
  }
  ProcessResult rsync(std::vector<std::string> args, bool stream);

  ServiceContext& ctx_;
  const FolderInUseProbe& inUse_;
  std::ostream& out_;
  fs::path src_;
  MoveDirRecord rec_;
};

MoveDirCode MoveDir::run(const std::string& path) {
  if (path.empty()) {
    out_ << "ERR: no path provided\n";
    return MoveDirCode::kInvalidRequest;
  }
  src_ = normalisedSource(path);
  MoveDirLock lock;
  if (auto locked = lock.acquire(ctx_.paths, out_); !locked) {
    refuse("couldn't take the relocation lock (" + locked.error().message() +
           "). Nothing was moved; your folder is untouched.");
    return MoveDirCode::kCopyFailed;
  }
  if (auto record = findMoveDirRecord(ctx_.paths, src_)) {
    rec_ = std::move(*record);
    return resume();
  }
  return fresh();
}

MoveDirCode MoveDir::fresh() {
  const std::string srcText = src_.string();
  std::error_code ec;
  const fs::file_status linkStatus = fs::symlink_status(src_, ec);
  if (!fs::exists(linkStatus)) {
    out_ << "ERR: source missing: " << srcText << "\n";
    const fs::path parked = srcText + ".hollin-old";
    if (fs::is_directory(fs::symlink_status(parked, ec))) {
      out_ << "     A parked original of an earlier relocation is at " << parked.string()
           << "; nothing was changed.\n";
    }
    return MoveDirCode::kInvalidRequest;
  }
  if (fs::is_symlink(linkStatus)) {
    out_ << "ERR: already a symlink (already relocated?): " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  if (!fs::is_directory(linkStatus)) {
    out_ << "ERR: not a directory: " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  // Opened without following a link: the identity every later step checks.
  const int fd = ::open(src_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  const bool identified = fd >= 0 && ::fstat(fd, &st) == 0;
  const int openError = errno;
  if (fd >= 0) ::close(fd);
  if (!identified) {
    refuse(srcText + " changed or could not be opened while it was being checked (" +
           std::strerror(openError) + "), so it was not moved. Nothing was changed.");
    return MoveDirCode::kInvalidRequest;
  }
  if (const MoveDirCode checked = checkSourceAndDrive(); checked != MoveDirCode::kRelocated)
    return checked;

  const std::time_t now = ctx_.clock();
  const fs::path relocated = ctx_.cfg().base() / "Relocated";
  fs::create_directories(relocated, ec);
  const auto claimed = claimTarget(relocated, src_.filename().string(), now);
  if (!claimed) {
    out_ << "ERR: couldn't create a folder for the copy in " << relocated.string()
         << ". Nothing was moved; your folder is untouched. Check that the drive is writable.\n";
    return MoveDirCode::kCopyFailed;
  }
  rec_.id = newMoveDirRecordId(now);
  rec_.src = src_;
  rec_.target = *claimed;
  rec_.device = static_cast<std::uint64_t>(st.st_dev);
  rec_.inode = static_cast<std::uint64_t>(st.st_ino);
  rec_.bytes = bytesOf(srcText);
  rec_.phase = MoveDirPhase::kCopying;
  rec_.started = now;
  if (auto saved = writeMoveDirRecord(ctx_.paths, rec_); !saved) {
    std::error_code rm;
    fs::remove(rec_.target, rm);
    refuse("couldn't write the record of this move in " + moveDirRecordFolder(ctx_.paths).string() +
           " (" + saved.error().message() +
           "). Nothing was moved; your folder is untouched. Free some space on the "
           "internal disk and retry.");
    return MoveDirCode::kCopyFailed;
  }
  stopPoint("move-dir:record-written");
  return copy();
}

MoveDirCode MoveDir::checkSourceAndDrive() {
  const ServiceConfig& cfg = ctx_.cfg();
  const MoveScope scope(
      {.home = ctx_.paths.home, .driveMount = cfg.nvme(), .workingFolder = cfg.base()});
  const auto allowed = scope.check(src_.string(), MoveDirection::kToDrive);
  if (!allowed && allowed.error().reason != MoveRefusalReason::kOnDrive) {
    refuse(allowed.error().sentence());
    return MoveDirCode::kInvalidRequest;
  }
  if (!driveUsable(ctx_)) {
    out_ << "ERR: NVMe not mounted at " << cfg.nvme().string() << "\n";
    return MoveDirCode::kDriveNotUsable;
  }
  if (!allowed) {
    out_ << "ERR: path is already on NVMe: " << src_.string() << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  return inUseCheck(src_, false);
}

// The whole tree, not just the folder: a program writing a file deep inside
// would go on writing into the parked original after the copy.
MoveDirCode MoveDir::inUseCheck(const fs::path& folder, bool putBackFirst) {
  const auto users = inUse_.scan(folder.string());
  if (users.empty()) return MoveDirCode::kRelocated;
  out_ << "ERR: directory is in use by another process. Quit related apps and retry.\n"
       << "     Tip: try `lsof +D " << shellQuoted(src_.string()) << "` to see which processes.\n"
       << "     In use by: " << describeInUse(users) << "\n";
  ctx_.log.log("move-dir refused: " + src_.string() + " is in use by " + describeInUse(users));
  if (putBackFirst) putBack();
  return MoveDirCode::kInUse;
}

ProcessResult MoveDir::rsync(std::vector<std::string> args, bool stream) {
  ProcessInvocation run{
      .path = ctx_.rsyncPath(), .args = std::move(args), .captureLimit = 64 << 10};
  if (stream) {
    auto show = [this](std::string_view chunk) {
      out_ << chunk;
      out_.flush();
      // One progress line per file copied: a stop point per line lands mid-copy.
      for (char c : chunk) {
        if (c == '\r' || c == '\n') stopPoint("move-dir:copying");
      }
    };
    run.onStdout = show;
    run.onStderr = show;
  }
  run.dieWithParent = true;  // a copy never outlives a stopped move
  return runProcess(run);
}

MoveDirCode MoveDir::copy() {
  const std::string sizeText = rec_.bytes ? std::to_string(*rec_.bytes) : std::string();
  out_ << "Source: " << src_.string() << "\n"
       << "Target: " << rec_.target.string() << "\n"
       << "Size:   " << sizeText << " bytes\n\n"
       << "Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026\n";
  out_.flush();
  if (ctx_.rsyncPath().empty()) {
    discard();
    out_ << "ERR: GNU rsync 3.x is required for moves but isn't installed.\n"
            "     Apple's openrsync (/usr/bin/rsync on macOS 14+) doesn't\n"
            "     support --info=progress2, hard links, or all xattrs that\n"
            "     Brimvale relies on for safe transfers.\n"
            "\n"
            "     Install GNU rsync via Homebrew, then retry:\n"
            "         brew install rsync\n";
    return MoveDirCode::kCopyFailed;
  }
  ProcessResult copied = rsync({"-aHEX", "--info=progress2", "--no-inc-recursive",
                                src_.string() + "/", rec_.target.string() + "/"},
                               true);
  if (!copied.succeeded()) {
    out_ << "ERR: rsync failed; cleaning up partial target and aborting\n";
    discard();
    out_ << "     rsync " << copied.describe() << ". Your folder is untouched at " << src_.string()
         << ".\n";
    return MoveDirCode::kCopyFailed;
  }
  out_ << "  copy complete\n";
  if (rec_.phase < MoveDirPhase::kCopied) rec_.phase = MoveDirPhase::kCopied;
  (void)save();  // a stale phase only means the next run looks a little harder
  stopPoint("move-dir:copied");
  return park();
}

bool MoveDir::ensureUndoRow() {
  if (rec_.phase >= MoveDirPhase::kRecorded) return true;
  if (rec_.parked.empty()) rec_.parked = parkedName(src_, ctx_.clock());
  auto row = recordUndo(ctx_.paths, {"relocate", src_.string(), rec_.target.string(), rec_.bytes});
  if (!row) {
    refuse("couldn't write the undo record " + ctx_.paths.lastBatch.string() + " (" +
           row.error().message() +
           "), so the folder was not moved. Free some space on the internal disk and retry.");
    return false;
  }
  rec_.phase = MoveDirPhase::kRecorded;
  if (auto saved = writeMoveDirRecord(ctx_.paths, rec_); !saved) {
    refuse("couldn't update the record of this move (" + saved.error().message() +
           "), so the folder was not moved. Free some space on the internal disk and retry.");
    return false;
  }
  stopPoint("move-dir:undo-recorded");
  return true;
}

MoveDirCode MoveDir::park() {
  if (examine(src_, rec_) != Found::kOurFolder) {
    refuse(src_.string() +
           " was replaced while it was being copied, so it was not moved. The copy was "
           "removed; whatever is at that path now was not touched.");
    discard();
    return MoveDirCode::kInvalidRequest;
  }
  if (!ensureUndoRow()) {
    discard();
    out_ << "     Your folder is untouched at " << src_.string()
         << "; the copy on the drive was removed.\n";
    return MoveDirCode::kParkFailed;
  }
  out_ << "\nStep 2/3 \u2014 parking original at " << src_.string() << ".hollin-old\n";
  if (const std::error_code ec = renameNoReplace(src_, rec_.parked)) {
    out_ << "ERR: couldn't move original out of the way\n";
    discard();
    out_ << "     " << ec.message() << " (renaming it to " << rec_.parked.string()
         << "). Your folder is untouched; the copy on the drive was removed.\n";
    return MoveDirCode::kParkFailed;
  }
  if (examine(rec_.parked, rec_) != Found::kOurFolder) {
    // Swapped between the check and the rename: what was renamed is not ours.
    refuse(src_.string() + " was replaced just before it was parked, so it was not moved.");
    putBack();
    return MoveDirCode::kInvalidRequest;
  }
  rec_.phase = MoveDirPhase::kParked;
  (void)save();
  stopPoint("move-dir:parked");
  if (const MoveDirCode inUse = inUseCheck(rec_.parked, true); inUse != MoveDirCode::kRelocated)
    return inUse;
  return compare();
}

// Copies that began before parking may have missed writes made during the
// copy; the parked original is now out of every program's way, so the copy
// is brought up to it and compared until nothing differs.
MoveDirCode MoveDir::compare() {
  const std::string from = rec_.parked.string() + "/";
  const std::string to = rec_.target.string() + "/";
  bool copiedAgain = false;
  for (int round = 0;; ++round) {
    ProcessResult check = rsync(
        {"-aHEX", "--delete", "--checksum", "--dry-run", "--itemize-changes", from, to}, false);
    if (!check.succeeded()) {
      refuse("couldn't compare the copy with the parked original (rsync " + check.describe() +
             ": " + lastLine(check.err) + "), so the folder was not moved.");
      putBack();
      return MoveDirCode::kCopyFailed;
    }
    if (trimBlanks(check.out).empty()) break;
    if (round == kCompareRounds) {
      refuse("files in " + src_.string() +
             " kept changing while it was being moved, so it was not moved. "
             "Quit the apps that write there and retry.");
      putBack();
      return MoveDirCode::kInUse;
    }
    ProcessResult again = rsync({"-aHEX", "--delete", "--checksum", from, to}, false);
    if (!again.succeeded()) {
      refuse("couldn't copy the latest changes from the parked original (rsync " +
             again.describe() + ": " + lastLine(again.err) + "), so the folder was not moved.");
      putBack();
      return MoveDirCode::kCopyFailed;
    }
    copiedAgain = true;
  }
  out_ << (copiedAgain ? "  late changes copied again; the copy now matches the parked original\n"
                       : "  the copy matches the parked original\n");
  stopPoint("move-dir:compared");
  return link();
}

MoveDirCode MoveDir::link() {
  if (examine(rec_.parked, rec_) != Found::kOurFolder) {
    refuse("the parked original at " + rec_.parked.string() +
           " is no longer the folder that was moved, so no "
           "link was made and nothing was deleted. The copy is at " +
           rec_.target.string() + ".");
    return MoveDirCode::kLinkFailed;
  }
  out_ << "\nStep 3/3 \u2014 creating symlink\n";
  std::error_code ec;
  fs::create_directory_symlink(rec_.target, src_, ec);  // never replaces what is there
  if (ec) {
    out_ << "ERR: couldn't create symlink; restoring original from " << rec_.parked.string() << "\n"
         << "     " << ec.message() << ".\n";
    putBack();
    return MoveDirCode::kLinkFailed;
  }
  rec_.phase = MoveDirPhase::kLinked;
  (void)save();
  stopPoint("move-dir:linked");
  return finish();
}

MoveDirCode MoveDir::finish() {
  const ServiceConfig& cfg = ctx_.cfg();
  const std::string sizeText = rec_.bytes ? std::to_string(*rec_.bytes) : std::string();
  (void)touchFile(cfg.nvme() / ".brimvale-managed");
  (void)touchFile(cfg.nvme() / ".hollin-managed");
  ctx_.log.say("relocate: " + src_.string() + " -> " + rec_.target.string() + " (" + sizeText +
               " bytes; parked original at " + rec_.parked.string() + ")");
  // The undo row went in before parking; the action log tells what happened.
  recordDone(ctx_.paths, ctx_.clock(),
             {"relocate", src_.string(), rec_.target.string(), rec_.bytes});
  (void)removeMoveDirRecord(ctx_.paths, rec_.id);
  stopPoint("move-dir:finished");
  // Only the folder this move parked may be offered for deletion.
  const bool parkedIsOurs = examine(rec_.parked, rec_) == Found::kOurFolder;
  out_ << "\n"
       << kRule << "\n"
       << "OK: relocated " << src_.string() << " (" << sizeText << " bytes)\n"
       << "Bytes now live on NVMe at: " << rec_.target.string() << "\n"
       << "Original parked at:        " << rec_.parked.string() << "\n"
       << "\n"
       << "The app(s) using this directory will continue to work \u2014 the path\n"
       << "is now a symlink. ";
  if (parkedIsOurs) {
    out_ << "Once you've verified everything works, you can\n"
         << "delete the parked backup to reclaim its disk:\n"
         << "  rm -rf " << shellQuoted(rec_.parked.string()) << "\n";
  } else {
    out_ << "The parked original is no longer at that name; nothing there\n"
         << "was touched.\n";
  }
  out_ << kRule << "\n";
  return MoveDirCode::kRelocated;
}

void MoveDir::discard() {
  std::error_code ec;
  fs::remove_all(rec_.target, ec);
  if (rec_.phase >= MoveDirPhase::kRecorded) {
    std::vector<ActionRow> rows = readLastBatch(ctx_.paths);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      if (it->action == "relocate" && it->src == src_.string() &&
          it->dest == rec_.target.string()) {
        rows.erase(std::next(it).base());
        (void)writeLastBatch(ctx_.paths, rows);
        break;
      }
    }
  }
  (void)removeMoveDirRecord(ctx_.paths, rec_.id);
}

bool MoveDir::putBack() {
  if (!renameNoReplace(rec_.parked, src_)) {
    discard();
    out_ << "     Your folder is back at " << src_.string() << "; nothing was moved.\n";
    return true;
  }
  // The copy stays too: with the original stuck at its parked name, it is
  // the only copy at a path the person was told about.
  out_ << "ERR: couldn't move the original back either. Your data is safe: the original is at "
       << rec_.parked.string() << " and a full copy at " << rec_.target.string()
       << ". Rename the original back to " << src_.string() << " by hand.\n";
  ctx_.log.log("move-dir: couldn't put " + rec_.parked.string() + " back at " + src_.string());
  return false;
}

MoveDirCode MoveDir::resume() {
  const ServiceConfig& cfg = ctx_.cfg();
  const fs::path recordFile = moveDirRecordFile(ctx_.paths, rec_.id);
  // The record is state read from disk: it may only name the places this
  // move would have made, a copy in Relocated/ and a parked sibling.
  const PathPolicy policy(PathPolicy::rootsFor(ctx_.paths.home, cfg.base()));
  const auto target = policy.check(rec_.target);
  const auto parked =
      rec_.parked.empty() ? std::expected<AllowedPath, PathRefusal>() : policy.check(rec_.parked);
  std::string wrong;
  if (rec_.target.parent_path() != cfg.base() / "Relocated" ||
      !isStampedName(rec_.target.filename().string(), src_.filename().string()) || !target ||
      target->root != PathRoot::kWorkingFolder) {
    wrong = "a copy at " + rec_.target.string();
  } else if (!rec_.parked.empty() && (rec_.parked.parent_path() != src_.parent_path() ||
                                      !isStampedName(rec_.parked.filename().string(),
                                                     src_.filename().string() + ".hollin-old") ||
                                      !parked || parked->root == PathRoot::kWorkingFolder)) {
    wrong = "a parked original at " + rec_.parked.string();
  }
  if (!wrong.empty()) {
    refuse("the record " + recordFile.string() + " of an unfinished relocation of " +
           src_.string() + " names " + wrong +
           ", which that relocation would not have made, so Brimvale left everything as it is. "
           "Nothing "
           "was changed.");
    return MoveDirCode::kInvalidRequest;
  }

  const Found atSrc = examine(src_, rec_);
  const Found atParked = rec_.parked.empty() ? Found::kNothing : examine(rec_.parked, rec_);
  out_ << "Finishing the relocation of " << src_.string() << " begun on " << ts(rec_.started)
       << " (last step: " << phaseRaw(rec_.phase) << ").\n";
  if (atSrc == Found::kLinkToTarget) return finish();

  if (atSrc == Found::kOurFolder && atParked != Found::kOurFolder) {
    // Stopped before parking: the original is in place; copy again into the
    // same target (rsync only adds what is missing) and go on.
    if (const MoveDirCode checked = checkSourceAndDrive(); checked != MoveDirCode::kRelocated)
      return checked;
    std::error_code ec;
    fs::create_directory(rec_.target, ec);
    if (!waitUntilUnused(inUse_, rec_.target.string())) {
      refuse("a copy started by the stopped relocation is still running in " +
             rec_.target.string() + "; your folder is untouched at " + src_.string() +
             ". Retry in a minute.");
      return MoveDirCode::kInUse;
    }
    if (atParked != Found::kNothing)
      rec_.parked = parkedName(src_, ctx_.clock());  // taken meanwhile
    return copy();
  }

  if (atSrc == Found::kNothing && atParked == Found::kOurFolder) {
    // Stopped between parking and linking: the user's path is missing until
    // this finishes, so anything that prevents finishing puts the folder back.
    const MoveScope scope(
        {.home = ctx_.paths.home, .driveMount = cfg.nvme(), .workingFolder = cfg.base()});
    if (auto allowed = scope.check(src_.string(), MoveDirection::kToDrive); !allowed) {
      refuse(allowed.error().sentence());
      putBack();
      return MoveDirCode::kInvalidRequest;
    }
    if (!driveUsable(ctx_) || ctx_.rsyncPath().empty()) {
      out_ << (driveUsable(ctx_) ? "ERR: GNU rsync 3.x is required for moves but isn't installed.\n"
                                 : "ERR: NVMe not mounted at " + cfg.nvme().string() + "\n");
      putBack();
      return driveUsable(ctx_) ? MoveDirCode::kCopyFailed : MoveDirCode::kDriveNotUsable;
    }
    std::error_code ec;
    fs::create_directory(rec_.target, ec);
    if (!waitUntilUnused(inUse_, rec_.target.string())) {
      refuse("a copy started by the stopped relocation is still running in " +
             rec_.target.string() + ".");
      putBack();
      return MoveDirCode::kInUse;
    }
    if (!ensureUndoRow()) {
      putBack();
      return MoveDirCode::kParkFailed;
    }
    if (const MoveDirCode inUse = inUseCheck(rec_.parked, true); inUse != MoveDirCode::kRelocated)
      return inUse;
    return compare();
  }

  refuse("an unfinished relocation of " + src_.string() +
         " was found, but things are no longer where it left "
         "them: at " +
         src_.string() + " there is " + describe(atSrc) + ", at the parked name " +
         (rec_.parked.empty() ? std::string("(none chosen yet)") : rec_.parked.string()) +
         " there is " + describe(atParked) + ", and its copy is at " + rec_.target.string() +
         ". Nothing was changed; the record "
         "stays at " +
         recordFile.string() + " so doctor keeps showing it.");
  return MoveDirCode::kInvalidRequest;
}

}  // namespace

MoveDirCode safeMoveDirToNvme(ServiceContext& ctx, const FolderInUseProbe& inUse,
                              const std::string& path) {
  MoveDir move(ctx, inUse);
  return move.run(path);
}

int moveDirCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (args.empty()) {
    ctx.err << "usage: brim-vale move-dir <absolute-path>\n";
    return 2;
  }
  const MoveDirCode code = safeMoveDirToNvme(ctx, FolderInUseProbe::forThisSystem(), args[0]);
  (void)writeStatusJson(ctx);
  return static_cast<int>(code);
}

std::string unfinishedRelocationsReport(const ServiceContext& ctx) {
  const auto records = readMoveDirRecords(ctx.paths);
  if (records.empty()) return {};
  std::string out = "\nUnfinished folder relocations (run the command shown to finish each):\n";
  for (const auto& rec : records) {
    const Found atSrc = examine(rec.src, rec);
    const Found atParked = examine(rec.parked, rec);
    std::string where = atSrc == Found::kOurFolder      ? "your folder is still in place"
                        : atSrc == Found::kLinkToTarget ? "the link is in place"
                        : atParked == Found::kOurFolder
                            ? "your folder is parked at " + rec.parked.string()
                            : "your folder is not where the move left it";
    out += "  " + rec.src.string() + "\n";
    out += "    begun " + ts(rec.started) +
           ", last step done: " + std::string(phaseRaw(rec.phase)) + "; " + where + "; copy at " +
           rec.target.string() + "\n";
    out += "    brvl move-dir " + shellQuoted(rec.src.string()) + "\n";
  }
  return out;
}

}  // namespace brimvale::service
