#include "service/relocation/relocation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/file_operations.h"
#include "common/base/process.h"
#include "common/base/side_work.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/move_scope.h"
#include "common/state/only_copy_notice.h"
#include "mover/verification.h"
#include "service/core/action_log.h"
#include "service/core/notifications.h"
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
  const auto absolute = absolutePath(text);
  return absolute ? absolute->lexically_normal() : fs::path(text);
}

// Claims a fresh target folder: Relocated/{name}, else Relocated/{name}.{epoch}
// (with a counter when a move in the same second took that too). Creating it
// here means the copy never lands in, and a failure never deletes, a folder
// that an earlier relocation owns.
std::optional<fs::path> claimTarget(FileOperations& files, const fs::path& relocated,
                                    const std::string& name, std::time_t now) {
  const std::string stamped = name + "." + std::to_string(now);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = relocated / (attempt == 0   ? name
                                      : attempt == 1 ? stamped
                                                     : stamped + "." + std::to_string(attempt));
    const std::error_code made = files.createExclusively(candidate, ClaimKind::kFolder);
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
    // A name that cannot be examined counts as free, as the rename will tell.
    if (!fs::exists(linkStatus(candidate).value_or(fs::file_status{}))) return candidate;
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
std::string toolCause(std::string_view text) {
  const std::string_view line = lastNonBlankLine(text);
  return line.empty() ? "no message" : std::string(line);
}

// The move's record as written, and the sentence that refuses the move when
// something could not be written (empty when all of it was).
struct UndoRecords {
  MoveDirRecord rec;
  std::string refusal;
};

// Writes the undo row, then the record with the parked name (chosen here when
// none is yet): both must be on disk before the original is parked. It
// touches only those two files, so it may run beside the copy.
UndoRecords writeUndoRecords(const StatePaths& paths, MoveDirRecord rec, std::time_t now) {
  if (rec.phase >= MoveDirPhase::kRecorded) return {std::move(rec), {}};
  if (rec.parked.empty()) rec.parked = parkedName(rec.src, now);
  auto row = recordUndo(paths, {"relocate", rec.src.string(), rec.target.string(), rec.bytes});
  if (!row) {
    return {std::move(rec), "couldn't write the undo record " + paths.lastBatch.string() + " (" +
                                row.error().message() +
                                "), so the folder was not moved. Free some space on the internal "
                                "disk and retry."};
  }
  rec.phase = MoveDirPhase::kRecorded;
  if (auto saved = writeMoveDirRecord(paths, rec); !saved) {
    return {std::move(rec), "couldn't update the record of this move (" + saved.error().message() +
                                "), so the folder was not moved. Free some space on the internal "
                                "disk and retry."};
  }
  stopPoint("move-dir:undo-recorded");
  return {std::move(rec), {}};
}

// What lies at a path, the final link not followed, measured against the
// folder the move started with.
enum class Found { kNothing, kOurFolder, kOtherFolder, kLinkToTarget, kOther };

Found examine(const fs::path& path, const MoveDirRecord& rec) {
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0)
    return errno == ENOENT || path.empty() ? Found::kNothing : Found::kOther;
  if (S_ISLNK(st.st_mode)) {
    const auto target = readSymlink(path);
    return target && *target == rec.target ? Found::kLinkToTarget : Found::kOther;
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
  [[nodiscard]] Result<void> acquire(const StatePaths& paths, const DiagnosticsLog& diagnostics,
                                     std::ostream& out) {
    const fs::path file = paths.state / "apps-relocator" / ".lock";
    // A missing folder shows as the open's failure just below.
    bestEffort(createDirectories(file.parent_path()), diagnostics, "creating the lock's folder");
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
  MoveDir(ServiceContext& ctx, const FolderInUseProbe& inUse, FileOperations& files)
      : ctx_(ctx),
        inUse_(inUse),
        files_(files),
        out_(ctx.out),
        diagnostics_(ctx.paths.diagnosticsLog, ctx.clock) {}

  MoveDirOutcome run(const std::string& path);

 private:
  MoveDirCode fresh();
  MoveDirCode resume();
  // The move scope and the drive; kRelocated when the move may go on.
  MoveDirCode checkSourceAndDrive();
  MoveDirCode inUseCheck(const fs::path& folder, bool putBackFirst);
  // kInUse, said, when `users` is not empty (the folder put back first when
  // `putBackFirst`); else kRelocated.
  MoveDirCode refuseIfUsed(const std::vector<FolderInUseEntry>& users, bool putBackFirst);
  MoveDirCode copy();
  MoveDirCode park();
  // `untouched`: nothing in the parked original changed since this
  // process began the copy, so rsync's complete copy is the folder as it is.
  MoveDirCode compare(bool untouched = false);
  MoveDirCode link();
  MoveDirCode finish();
  // The reported post-condition, checked last: the path is the link to the
  // copy and the copy is there. kRelocated when it holds; otherwise says
  // where the data is.
  MoveDirCode checkInPlace();

  // A stale phase in the record only means the next run looks a little
  // harder, so these writes are not flushed.
  void saveBestEffort() {
    bestEffort(writeMoveDirRecord(ctx_.paths, rec_, Durability::kRebuilt), diagnostics_,
               "saving the move's record");
  }
  void showCopyHeader();
  [[nodiscard]] bool ensureUndoRow();
  // Removes what this move made (the copy, its undo row, its record); the
  // original is where it was.
  void discard();
  // Renames the parked original back, then discards; on failure says where
  // everything is and keeps the record.
  bool putBack();
  void refuse(const std::string& sentence) {
    say(sentence);
    ctx_.log.log("move-dir refused: " + sentence);
  }
  // Why the move stops, and the lines that explain it, for the report.
  void say(std::string reason, std::vector<std::string> details = {}) {
    outcome_.reason = std::move(reason);
    outcome_.details = std::move(details);
  }
  MoveDirCode steps(const std::string& path);
  // `beforeOutput`, when given, runs before each piece of output is shown.
  ProcessResult rsync(std::vector<std::string> args, bool stream,
                      const std::function<void()>& beforeOutput = {});

  ServiceContext& ctx_;
  const FolderInUseProbe& inUse_;
  FileOperations& files_;
  std::ostream& out_;
  const DiagnosticsLog diagnostics_;
  fs::path src_;
  MoveDirRecord rec_;
  MoveDirOutcome outcome_;
  // When this process began a copy into an empty folder, from the real clock
  // the file system stamps change times with; unknown when resuming, as an
  // earlier run may have copied some files.
  std::optional<std::chrono::system_clock::time_point> copyStarted_;
  // rsync is looked for (it runs `rsync --version`) while the move is checked.
  std::shared_future<void> rsyncFound_;
  const std::string& rsyncPath() {
    if (rsyncFound_.valid()) rsyncFound_.wait();
    return ctx_.rsyncPath();
  }
};

MoveDirOutcome MoveDir::run(const std::string& path) {
  outcome_.code = steps(path);
  outcome_.src = src_;
  outcome_.target = rec_.target;
  outcome_.parked = rec_.parked;
  outcome_.bytes = rec_.bytes;
  return outcome_;
}

MoveDirCode MoveDir::steps(const std::string& path) {
  if (path.empty()) {
    say("no path provided");
    return MoveDirCode::kInvalidRequest;
  }
  src_ = normalisedSource(path);
  rsyncFound_ = std::async(std::launch::async, [this] { (void)ctx_.rsyncPath(); }).share();
  MoveDirLock lock;
  if (auto locked = lock.acquire(ctx_.paths, diagnostics_, out_); !locked) {
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
  // A path that cannot be examined is treated as missing.
  const fs::file_status status = linkStatus(src_).value_or(fs::file_status{});
  if (!fs::exists(status)) {
    say("source missing: " + srcText);
    const fs::path parked = srcText + ".hollin-old";
    if (fs::is_directory(linkStatus(parked).value_or(fs::file_status{}))) {
      outcome_.details.push_back("A parked original of an earlier relocation is at " +
                                 parked.string() + "; nothing was changed.");
    }
    return MoveDirCode::kInvalidRequest;
  }
  if (fs::is_symlink(status)) {
    say("already a symlink (already relocated?): " + srcText);
    return MoveDirCode::kInvalidRequest;
  }
  if (!fs::is_directory(status)) {
    say("not a directory: " + srcText);
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
  // Who uses the folder is asked while the copy folder is claimed and the
  // record written; the copy starts only once the answer is no one.
  std::future<std::vector<FolderInUseEntry>> users =
      std::async(std::launch::async, [this] { return inUse_.scan(src_.string()); });

  const std::time_t now = ctx_.clock();
  const fs::path relocated = ctx_.cfg().base() / "Relocated";
  // A folder that cannot be made shows as the claim's failure just below.
  bestEffort(files_.createDirectories(relocated), diagnostics_, "creating the Relocated folder");
  const auto claimed = claimTarget(files_, relocated, src_.filename().string(), now);
  if (!claimed) {
    say("couldn't create a folder for the copy in " + relocated.string() +
        ". Nothing was moved; your folder is untouched. Check that the drive is writable.");
    return MoveDirCode::kCopyFailed;
  }
  rec_.id = newMoveDirRecordId(now);
  rec_.src = src_;
  rec_.target = *claimed;
  rec_.device = static_cast<std::uint64_t>(st.st_dev);
  rec_.inode = static_cast<std::uint64_t>(st.st_ino);
  rec_.phase = MoveDirPhase::kCopying;
  rec_.started = now;
  if (auto saved = writeMoveDirRecord(ctx_.paths, rec_); !saved) {
    bestEffort(files_.remove(rec_.target), diagnostics_, "removing the unused copy folder");
    refuse("couldn't write the record of this move in " + moveDirRecordFolder(ctx_.paths).string() +
           " (" + saved.error().message() +
           "). Nothing was moved; your folder is untouched. Free some space on the "
           "internal disk and retry.");
    return MoveDirCode::kCopyFailed;
  }
  stopPoint("move-dir:record-written");
  if (const MoveDirCode used = refuseIfUsed(users.get(), false); used != MoveDirCode::kRelocated) {
    discard();
    return used;
  }
  // The copy folder is new, so the copy reads every file after this moment.
  copyStarted_ = std::chrono::system_clock::now();
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
    say("NVMe not mounted at " + cfg.nvme().string());
    return MoveDirCode::kDriveNotUsable;
  }
  if (!allowed) {
    say("path is already on NVMe: " + src_.string());
    return MoveDirCode::kInvalidRequest;
  }
  return MoveDirCode::kRelocated;
}

// The whole tree, not just the folder: a program writing a file deep inside
// would go on writing into the parked original after the copy.
MoveDirCode MoveDir::inUseCheck(const fs::path& folder, bool putBackFirst) {
  return refuseIfUsed(inUse_.scan(folder.string()), putBackFirst);
}

MoveDirCode MoveDir::refuseIfUsed(const std::vector<FolderInUseEntry>& users, bool putBackFirst) {
  if (users.empty()) return MoveDirCode::kRelocated;
  say("directory is in use by another process. Quit related apps and retry.",
      {"Tip: try `lsof +D " + shellQuoted(src_.string()) + "` to see which processes.",
       "In use by: " + describeInUse(users)});
  ctx_.log.log("move-dir refused: " + src_.string() + " is in use by " + describeInUse(users));
  if (putBackFirst) putBack();
  return MoveDirCode::kInUse;
}

ProcessResult MoveDir::rsync(std::vector<std::string> args, bool stream,
                             const std::function<void()>& beforeOutput) {
  ProcessInvocation run{.path = rsyncPath(), .args = std::move(args), .captureLimit = 64 << 10};
  if (stream) {
    auto show = [this, &beforeOutput](std::string_view chunk) {
      if (beforeOutput) beforeOutput();
      out_ << chunk;
      out_.flush();
      // One progress line per file copied: a stop point per line lands mid-copy.
      for (char c : chunk) {
        if (c == '\r' || c == '\n') stopPoint("move-dir:copying");
      }
    };
    run.onStdout = show;
    run.onStderr = show;
    // rsync prints a progress line per file; reading them in batches keeps
    // the copy from waking this process tens of thousands of times.
    run.outputPacing = std::chrono::milliseconds(25);
  }
  run.dieWithParent = true;  // a copy never outlives a stopped move
  return ctx_.platform.launcher->run(run);
}

void MoveDir::showCopyHeader() {
  const std::string sizeText = rec_.bytes ? std::to_string(*rec_.bytes) : std::string();
  out_ << "Source: " << src_.string() << "\n"
       << "Target: " << rec_.target.string() << "\n"
       << "Size:   " << sizeText << " bytes\n\n"
       << "Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026\n";
  out_.flush();
}

MoveDirCode MoveDir::copy() {
  if (rsyncPath().empty()) {
    if (!rec_.bytes) rec_.bytes = bytesOf(src_.string());
    showCopyHeader();
    discard();
#if defined(__APPLE__)
    say("GNU rsync 3.x is required for moves but isn't installed.",
        {"Apple's openrsync (/usr/bin/rsync on macOS 14+) doesn't",
         "support --info=progress2, hard links, or all xattrs that",
         "Brimvale relies on for safe transfers.", "",
         "Install GNU rsync via Homebrew, then retry:", "    brew install rsync"});
#else
    say("GNU rsync 3.x is required for moves but isn't installed.",
        {"Nothing was moved. Install it, then retry:", "    sudo apt install rsync"});
#endif
    return MoveDirCode::kCopyFailed;
  }
  // Beside the copy, which needs neither: the size is measured while rsync
  // lists the same tree, on processor time rsync leaves over, then the undo
  // row and the parked name are recorded, which parking waits for. The
  // report still shows the size before anything rsync prints.
  const std::shared_future<std::optional<std::uint64_t>> measured =
      std::async(std::launch::async, [src = src_, known = rec_.bytes] {
        if (known) return known;
        yieldToOtherWork();
        return bytesOf(src.string());
      }).share();
  std::future<UndoRecords> recorded =
      std::async(std::launch::async, [this, measured, rec = rec_, now = ctx_.clock()]() mutable {
        rec.bytes = measured.get();
        return writeUndoRecords(ctx_.paths, std::move(rec), now);
      });
  bool headerShown = false;
  const std::function<void()> showHeader = [&] {
    if (headerShown) return;
    headerShown = true;
    rec_.bytes = measured.get();
    showCopyHeader();
  };
  ProcessResult copied = rsync(moveDirCopyArguments(src_, rec_.target), true, showHeader);
  showHeader();
  // Taken whatever happened, so that a discard withdraws an undo row written.
  UndoRecords written = recorded.get();
  rec_ = std::move(written.rec);
  if (!copied.succeeded()) {
    say("rsync failed; cleaning up partial target and aborting",
        {"rsync " + copied.describe() + ". Your folder is untouched at " + src_.string() + "."});
    discard();
    return MoveDirCode::kCopyFailed;
  }
  if (!written.refusal.empty()) {
    refuse(written.refusal);
    discard();
    outcome_.details.push_back("Your folder is untouched at " + src_.string() +
                               "; the copy on the drive was removed.");
    return MoveDirCode::kParkFailed;
  }
  out_ << "  copy complete\n";
  stopPoint("move-dir:copied");
  return park();
}

bool MoveDir::ensureUndoRow() {
  UndoRecords written = writeUndoRecords(ctx_.paths, rec_, ctx_.clock());
  rec_ = std::move(written.rec);
  if (written.refusal.empty()) return true;
  refuse(written.refusal);
  return false;
}

MoveDirCode MoveDir::park() {
  if (examine(src_, rec_) != Found::kOurFolder) {
    refuse(src_.string() +
           " was replaced while it was being copied, so it was not moved. The copy was "
           "removed; whatever is at that path now was not touched.");
    discard();
    return MoveDirCode::kInvalidRequest;
  }
  // The name was chosen while the copy ran; something may have taken it since.
  if (fs::exists(linkStatus(rec_.parked).value_or(fs::file_status{}))) {
    rec_.parked = parkedName(src_, ctx_.clock());
    if (auto saved = writeMoveDirRecord(ctx_.paths, rec_); !saved) {
      refuse("couldn't update the record of this move (" + saved.error().message() +
             "), so the folder was not moved. Free some space on the internal disk and retry.");
      discard();
      return MoveDirCode::kParkFailed;
    }
  }
  out_ << "\nStep 2/3 \u2014 parking original at " << src_.string() << ".hollin-old\n";
  if (const std::error_code ec = files_.renameNoReplace(src_, rec_.parked)) {
    say("couldn't move original out of the way",
        {ec.message() + " (renaming it to " + rec_.parked.string() +
         "). Your folder is untouched; the copy on the drive was removed."});
    discard();
    return MoveDirCode::kParkFailed;
  }
  if (examine(rec_.parked, rec_) != Found::kOurFolder) {
    // Swapped between the check and the rename: what was renamed is not ours.
    refuse(src_.string() + " was replaced just before it was parked, so it was not moved.");
    putBack();
    return MoveDirCode::kInvalidRequest;
  }
  rec_.phase = MoveDirPhase::kParked;
  saveBestEffort();
  stopPoint("move-dir:parked");
  // The original is examined for changes while the in-use check runs.
  std::future<bool> untouched =
      std::async(std::launch::async, [parked = rec_.parked, started = copyStarted_] {
        return started && !mover::treeChangedSince(parked, *started);
      });
  if (const MoveDirCode inUse = inUseCheck(rec_.parked, true); inUse != MoveDirCode::kRelocated)
    return inUse;
  return compare(untouched.get());
}

// Copies that began before parking may have missed writes made during the
// copy; the parked original is now out of every program's way, so the copy
// is brought up to it and compared until nothing differs.
MoveDirCode MoveDir::compare(bool untouched) {
  const std::string from = rec_.parked.string() + "/";
  const std::string to = rec_.target.string() + "/";
  bool copiedAgain = false;
  for (int round = 0; !untouched; ++round) {
    auto differing = mover::exactCopyDifferences(rec_.parked, rec_.target, copyStarted_);
    if (!differing) {
      refuse("couldn't compare the copy with the parked original (" + differing.error().message() +
             "), so the folder was not moved.");
      putBack();
      return MoveDirCode::kCopyFailed;
    }
    if (differing->empty()) break;
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
             again.describe() + ": " + toolCause(again.err) + "), so the folder was not moved.");
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
  if (const std::error_code ec = files_.createDirectorySymlink(rec_.target, src_)) {
    say("couldn't create symlink; restoring original from " + rec_.parked.string(),
        {ec.message() + "."});
    putBack();
    return MoveDirCode::kLinkFailed;
  }
  rec_.phase = MoveDirPhase::kLinked;
  saveBestEffort();
  stopPoint("move-dir:linked");
  return finish();
}

MoveDirCode MoveDir::finish() {
  const ServiceConfig& cfg = ctx_.cfg();
  const std::string sizeText = rec_.bytes ? std::to_string(*rec_.bytes) : std::string();
  bestEffort(touchFile(cfg.nvme() / ".brimvale-managed"), diagnostics_, "marking the drive");
  bestEffort(touchFile(cfg.nvme() / ".hollin-managed"), diagnostics_, "marking the drive");
  ctx_.log.say("relocate: " + src_.string() + " -> " + rec_.target.string() + " (" + sizeText +
               " bytes; parked original at " + rec_.parked.string() + ")");
  // The undo row went in before parking; the action log tells what happened.
  recordDone(ctx_.paths, ctx_.clock(),
             {"relocate", src_.string(), rec_.target.string(), rec_.bytes});
  bestEffort(removeMoveDirRecord(ctx_.paths, rec_.id), diagnostics_,
             "removing the finished move's record");
  stopPoint("move-dir:finished");
  if (const MoveDirCode holds = checkInPlace(); holds != MoveDirCode::kRelocated) return holds;
  // Only the folder this move parked may be offered for deletion.
  outcome_.parkedIsOurs = examine(rec_.parked, rec_) == Found::kOurFolder;
  return MoveDirCode::kRelocated;
}

MoveDirCode MoveDir::checkInPlace() {
  const Found atSrc = examine(src_, rec_);
  const bool copyThere = isDirectory(rec_.target).value_or(false);
  if (atSrc == Found::kLinkToTarget && copyThere) return MoveDirCode::kRelocated;
  const std::string safe = "Your data is safe: the copy is at " + rec_.target.string() +
                           " and the original is parked at " + rec_.parked.string() +
                           "; nothing was deleted.";
  if (atSrc != Found::kLinkToTarget) {
    refuse(src_.string() + " changed just after it was linked: there is now " + describe(atSrc) +
           " at that path, so the relocation is not in place.");
    outcome_.details = {safe, "Look at what is at " + src_.string() +
                                  " now; the parked original can be renamed back there by hand."};
  } else {
    refuse("the link at " + src_.string() + " is in place, but the copy at " +
           rec_.target.string() + " can't be reached, so the relocation can't be confirmed.");
    outcome_.details = {safe,
                        "Check that the drive is connected; the link works again once it is."};
  }
  return MoveDirCode::kInvalidRequest;
}

void MoveDir::discard() {
  bestEffort(files_.removeAll(rec_.target), diagnostics_, "removing the copy");
  if (rec_.phase >= MoveDirPhase::kRecorded) {
    bestEffort(editLastBatch(ctx_.paths,
                             [&](std::vector<ActionRow>& rows) {
                               for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
                                 if (it->action == "relocate" && it->src == src_.string() &&
                                     it->dest == rec_.target.string()) {
                                   rows.erase(std::next(it).base());
                                   return;
                                 }
                               }
                             }),
               diagnostics_, "removing the undo row");
  }
  bestEffort(removeMoveDirRecord(ctx_.paths, rec_.id), diagnostics_,
             "removing the abandoned move's record");
}

bool MoveDir::putBack() {
  if (!files_.renameNoReplace(rec_.parked, src_)) {
    discard();
    outcome_.putBack = PutBack::kDone;
    return true;
  }
  // The copy stays too: with the original stuck at its parked name, it is
  // the only copy at a path the person was told about.
  outcome_.putBack = PutBack::kStuck;
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
    if (const MoveDirCode used = inUseCheck(src_, false); used != MoveDirCode::kRelocated)
      return used;
    // A copy folder that cannot be made shows as the copy's failure.
    bestEffort(files_.createDirectory(rec_.target), diagnostics_, "recreating the copy folder");
    if (!waitUntilUnused(inUse_, rec_.target.string())) {
      refuse("a copy started by the stopped relocation is still running in " +
             rec_.target.string() + "; your folder is untouched at " + src_.string() +
             ". Retry in a minute.");
      return MoveDirCode::kInUse;
    }
    return copy();  // parking picks a new name if that one was taken meanwhile
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
    if (!driveUsable(ctx_) || rsyncPath().empty()) {
      say(driveUsable(ctx_) ? "GNU rsync 3.x is required for moves but isn't installed."
                            : "NVMe not mounted at " + cfg.nvme().string());
      putBack();
      return driveUsable(ctx_) ? MoveDirCode::kCopyFailed : MoveDirCode::kDriveNotUsable;
    }
    // A copy folder that cannot be made shows as the copy's failure.
    bestEffort(files_.createDirectory(rec_.target), diagnostics_, "recreating the copy folder");
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

std::vector<std::string> moveDirCopyArguments(const fs::path& src, const fs::path& target) {
  return {"-aHEX", "--info=progress2", "--no-inc-recursive", src.string() + "/",
          target.string() + "/"};
}

MoveDirOutcome moveDirToNvme(ServiceContext& ctx, const FolderInUseProbe& inUse,
                             const std::string& path, FileOperations& files) {
  MoveDir move(ctx, inUse, files);
  return move.run(path);
}

std::string renderMoveDirOutcome(const MoveDirOutcome& o) {
  std::string out;
  const std::string sizeText = o.bytes ? std::to_string(*o.bytes) : std::string();
  if (o.code == MoveDirCode::kRelocated) {
    out += "\n" + kRule + "\n";
    out += "OK: relocated " + o.src.string() + " (" + sizeText + " bytes)\n";
    out += "Bytes now live on NVMe at: " + o.target.string() + "\n";
    out += "Original parked at:        " + o.parked.string() + "\n";
    out += "\n";
    out += "The app(s) using this directory will continue to work \u2014 the path\n";
    out += "is now a symlink. ";
    if (o.parkedIsOurs) {
      out += "Once you've verified everything works, you can\n";
      out += "delete the parked backup to reclaim its disk:\n";
      out += "  rm -rf " + shellQuoted(o.parked.string()) + "\n";
    } else {
      out += "The parked original is no longer at that name; nothing there\n";
      out += "was touched.\n";
    }
    return out + kRule + "\n";
  }
  out += "ERR: " + o.reason + "\n";
  for (const auto& line : o.details) out += line.empty() ? "\n" : "     " + line + "\n";
  if (o.putBack == PutBack::kDone) {
    out += "     Your folder is back at " + o.src.string() + "; nothing was moved.\n";
  } else if (o.putBack == PutBack::kStuck) {
    out += "ERR: couldn't move the original back either. Your data is safe: the original is at " +
           o.parked.string() + " and a full copy at " + o.target.string() +
           ". Rename the original back to " + o.src.string() + " by hand.\n";
  }
  return out;
}

MoveDirCode safeMoveDirToNvme(ServiceContext& ctx, const FolderInUseProbe& inUse,
                              const std::string& path, FileOperations& files) {
  const MoveDirOutcome outcome = moveDirToNvme(ctx, inUse, path, files);
  ctx.out << renderMoveDirOutcome(outcome);
  return outcome.code;
}

int moveDirCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (args.empty()) {
    ctx.err << "usage: brim-vale move-dir <absolute-path>\n";
    return 2;
  }
  const MoveDirCode code = safeMoveDirToNvme(
      ctx, FolderInUseProbe::forThisSystem(platform::runnerOf(*ctx.platform.launcher)), args[0]);
  if (code == MoveDirCode::kRelocated && claimOnlyCopyNotice(ctx.paths)) {
    ctx.log.say(kOnlyCopyNotice);
    note(ctx.paths, ctx.platform,
         {std::string(kOnlyCopyTitle), std::string(kOnlyCopyNotice),
          ctx.cfg().get(config_keys::kNotifySoundInfo), std::string(kOnlyCopyThread), "info"});
  }
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
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
