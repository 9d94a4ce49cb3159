// Cloud transfers, the remote browser's delete and auto-sync in the fault
// matrix, by command and as `brimvale run` does them unattended. The drive
// side is the world's drive; a remote is a local-type rclone remote over a
// folder in scratch.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "cloud/sync_job.h"
#include "common/base/file_io.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// The user's tree, with a few files big enough that the transfer (held to
// a bandwidth limit) is still copying when a fault strikes; each file's
// relative path and content are remembered in the scene's notes.
void transferredTree(Scene& s) {
  writeUserTree(s.target);
  for (int i = 0; i < 3; ++i) {
    std::string big(200 * 1024, static_cast<char>('a' + i));
    big += " big file " + std::to_string(i);
    (void)writeFileAtomically(s.target / ("big-" + std::to_string(i) + ".bin"), big);
  }
  std::error_code ec;
  for (fs::recursive_directory_iterator it(s.target, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec))
      s.notes["file:" + it->path().lexically_relative(s.target).string()] =
          readFile(it->path()).value_or("");
  }
}

// The folder `name` of the home, full of files, and where its copy goes on
// the drive (noted as "copy").
fs::path folderToCopy(Scene& s, const std::string& name) {
  s.target = s.world.home() / name;
  transferredTree(s);
  const fs::path copy = s.world.working() / name;
  fs::create_directories(s.world.working());
  s.notes["copy"] = copy.string();
  return copy;
}

// The transfer list every Brimvale process shares.
fs::path jobsFile(const Scene& s) { return s.world.home().path() / ".brimvale/sync/jobs.json"; }

// Whether `path` lies on the drive now (not in a bare mount-point folder).
bool onDrive(const fs::path& path, const fs::path& drive) {
  struct stat st {};
  struct stat mount {};
  struct stat disk {};
  return stat(path.c_str(), &st) == 0 && stat(drive.c_str(), &mount) == 0 &&
         stat(drive.parent_path().c_str(), &disk) == 0 && st.st_dev == mount.st_dev &&
         mount.st_dev != disk.st_dev;
}

// Every file of the tree as it was is at `copy` on the drive; with
// `sameContent`, with the content it had unless the source has it changed
// now (a writer's doing).
std::string copiedOnto(Scene& s, const fs::path& copy, bool sameContent = true) {
  if (!onDrive(copy, s.world.drive())) return copy.string() + " is not on the drive";
  for (const auto& [key, content] : s.notes) {
    if (!key.starts_with("file:")) continue;
    const std::string rel = key.substr(5);
    const auto there = readFile(copy / rel);
    if (!there) return rel + " is missing from " + copy.string();
    if (!sameContent) continue;
    const auto source = readFile(s.target / rel);
    if (*there != content && (!source || *source == content))
      return rel + " at " + copy.string() + " is not the source's";
  }
  return {};
}

// What a finished move of the tree to `copy` claims: the source is gone and
// every file reached the drive (the ledger finds each file's content).
std::string movedOnto(Scene& s, const fs::path& copy) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(s.target, ec))) return s.target.string() + " is still there";
  return copiedOnto(s, copy, false);
}

Row transferRow(const std::string& mode) {
  Row row;
  row.name = "brimvale transfers new --mode " + mode;
  row.prepare = [mode](Scene& s) {
    const fs::path copy = folderToCopy(s, "Photos");
    s.command = {.args = {"transfers", "new", "--mode", mode, "--bwlimit", "600k",
                          s.target.string(), copy.string(), "--yes"}};
    if (mode == "bisync") s.command.args.push_back("--resync");
    return true;
  };
  row.moments = {"transfer:started", "transfer:anchored", "transfer:copied"};
  if (mode == "move") row.moments.push_back("transfer:source-removed");
  row.claimHolds = [mode](Scene& s) -> std::string {
    const fs::path copy = s.notes["copy"];
    return mode == "move" ? movedOnto(s, copy) : copiedOnto(s, copy);
  };
  row.successText = "Finished a cloud transfer";
  return row;
}

// A copy saved in the list to purge its source once it succeeded, run by
// `transfers resume ID` (a queued job nobody runs is run there).
Row purgeRow() {
  Row row;
  row.name = "brimvale transfers resume (copy, then purge the source)";
  row.prepare = [](Scene& s) {
    const fs::path copy = folderToCopy(s, "Scans");
    cloud::SyncJob job =
        cloud::newSyncJob(s.target.string(), copy.string(), cloud::JobMode::kCopy, 1'780'000'000);
    job.bandwidthLimit = "600k";
    job.postSuccessAction = cloud::PostSuccessAction::kPurgeSource;
    if (!cloud::JobListFile(jobsFile(s)).save({job})) return false;
    s.command = {.args = {"transfers", "resume", job.id}};
    return true;
  };
  row.moments = {"transfer:started", "transfer:copied", "transfer:source-removed"};
  row.claimHolds = [](Scene& s) -> std::string {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(s.target, ec))) return s.target.string() + " is still there";
    return copiedOnto(s, s.notes["copy"]);
  };
  row.successText = "Source purged successfully.";
  return row;
}

// `remotes browse here:PATH delete --yes` on a local-type remote `here`: a
// note, or an empty folder holding only the browser's marker. The writer
// works in the folder "Old" either way.
Row remoteDeleteRow(bool folder) {
  Row row;
  row.name = folder ? "brimvale remotes browse NAME:FOLDER delete"
                    : "brimvale remotes browse NAME:FILE delete";
  row.prepare = [folder](Scene& s) {
    const fs::path conf = s.world.scratch() / "rclone.conf";
    std::ofstream(conf) << "[here]\ntype = local\n";
    const fs::path remote = s.world.scratch() / "remote";
    writeUserTree(remote / "Kept");
    s.target = remote / "Old";
    const fs::path doomed = s.target / (folder ? ".brimvale-keep" : "notes.txt");
    fs::create_directories(s.target);
    std::ofstream(doomed, std::ios::binary)
        << (folder ? std::string("Brimvale folder marker \u2014 safe to delete.\n")
                   : std::string("an old note the user deletes\n"));
    fs::last_write_time(doomed, fs::file_time_type::clock::now() - std::chrono::hours(1));
    s.deletes = {s.target};
    s.notes["doomed"] = (folder ? s.target : doomed).string();
    s.command = {.args = {"remotes", "browse", "here:" + s.notes["doomed"], "delete", "--yes"},
                 .env = {{"RCLONE_CONFIG", conf.string()}}};
    return true;
  };
  row.moments = {"remote-delete:agreed"};
  row.claimHolds = [](Scene& s) -> std::string {
    std::error_code ec;
    const fs::path doomed = s.notes["doomed"];
    if (fs::exists(fs::symlink_status(doomed, ec))) return doomed.string() + " is still there";
    return {};
  };
  row.successText = "Deleted ";
  const std::string offDrive = "the remote lies in a folder outside the drive";
  row.notApplicable = {{Fault::kUnplugged, offDrive}, {Fault::kDriveFull, offDrive}};
  return row;
}

// `autosync scan ID` of a folder whose files have settled, or the look
// `brimvale run` takes at it by itself.
Row autoSyncRow(bool unattended) {
  Row row;
  row.name = unattended ? "brimvale run (auto-sync)" : "brimvale autosync scan";
  row.prepare = [unattended](Scene& s) {
    s.target = s.world.home() / "Inbox";
    writeUserTree(s.target);
    std::error_code ec;
    for (fs::recursive_directory_iterator it(s.target, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      fs::last_write_time(it->path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
      s.notes["file:" + it->path().lexically_relative(s.target).string()] = "";
    }
    fs::create_directories(s.world.working());
    const fs::path parent = s.world.working() / "Inbox";
    const ProcessResult added =
        s.world.run({.args = {"autosync", "add", s.target.string(), parent.string()}});
    const ProcessResult listed = s.world.run({.args = {"autosync", "--json"}});
    const auto policies = nlohmann::json::parse(listed.out, nullptr, false);
    if (!added.succeeded() || !policies.is_array() || policies.size() != 1) return false;
    s.command =
        unattended ? unattendedRun(s)
                   : Invocation{.args = {"autosync", "scan", policies[0].value("id", ""), "--yes"}};
    return true;
  };
  // The moves take their destination as named, so no step claims one: the
  // first step of each move is its record being written.
  row.moments = {"mover:enqueued", "mover:copied", "mover:verified", "mover:relinked"};
  if (unattended) {
    // The run says nothing of its own; each move it records as done claims
    // its file is a link to its copy on the drive. A move that ended before
    // a link was planted in the folder's place left its link in the folder,
    // wherever that went.
    row.claimHolds = [](Scene& s) -> std::string {
      std::error_code ec;
      const fs::path folder = s.movedAside.empty() ? s.target : s.movedAside;
      for (const auto& move : moves(s)) {
        const fs::path recorded = move.value("src", ""), copy = move.value("finalDst", "");
        if (move.value("phase", "") != "done" || !isBelow(recorded, s.target)) continue;
        const fs::path src = folder / recorded.lexically_relative(s.target);
        if (fs::read_symlink(src, ec) != copy) return src.string() + " is not a link to its copy";
        if (!isBelow(copy, s.world.working()) || !onDrive(copy, s.world.drive()))
          return copy.string() + " is not on the drive";
      }
      return {};
    };
    return row;
  }
  // Each settled file of the folder is a link to its copy in the working
  // folder. A file a program wrote meanwhile is rightly left alone, but only
  // when the run said it left such files for later.
  row.claimHolds = [](Scene& s) -> std::string {
    std::error_code ec;
    const auto settled = fs::file_time_type::clock::now() - std::chrono::minutes(10);
    const bool saidLeft = s.judgedOut.find("changed in the last 10 minutes") != std::string::npos;
    for (const auto& [key, unused] : s.notes) {
      if (!key.starts_with("file:")) continue;
      const fs::path file = s.target / key.substr(5);
      if (fs::is_regular_file(fs::symlink_status(file, ec)) &&
          fs::last_write_time(file, ec) > settled) {
        if (saidLeft) continue;
        return file.string() + " changed lately and was left, but the run did not say so";
      }
      if (!fs::is_symlink(file, ec)) return file.string() + " is not a link";
      const fs::path to = fs::read_symlink(file, ec);
      if (!isBelow(to, s.world.working()) || !fs::exists(to, ec))
        return file.string() + " links to " + to.string();
    }
    return {};
  };
  // "Moved N files" names what did move; the whole scan succeeded only with exit 0.
  return row;
}

// A move to the drive set to run every hour, whose time came while the
// application was not running: `brimvale run` on a clock two hours on starts it.
Row scheduleRow() {
  Row row;
  row.name = "brimvale run (scheduled transfer)";
  row.prepare = [](Scene& s) {
    const fs::path copy = folderToCopy(s, "Photos");
    const std::time_t now = std::time(nullptr);
    // The move ran once by hand; new photos came since.
    cloud::SyncJob job =
        cloud::newSyncJob(s.target.string(), copy.string(), cloud::JobMode::kMove, now - 86'400);
    job.bandwidthLimit = "600k";
    job.state = cloud::JobState::kCompleted;
    job.completedAt = now - 86'000;
    if (!cloud::JobListFile(jobsFile(s)).save({job})) return false;
    const ProcessResult set =
        s.world.run({.args = {setClock(s, now), "transfers", "schedule", job.id, "hourly", "1"},
                     .env = {{"TZ", "UTC"}}});
    if (!set.succeeded()) return false;
    setClock(s, now + 2 * 3600);
    s.command = unattendedRun(s);
    return true;
  };
  row.moments = {"transfer:started", "transfer:anchored", "transfer:copied",
                 "transfer:source-removed"};
  // A scheduled run recorded as completed claims what a finished move does.
  row.claimHolds = [](Scene& s) -> std::string {
    const auto jobs = cloud::JobListFile(jobsFile(s)).load();
    if (!jobs) return "the transfer list cannot be read";
    for (const auto& job : *jobs) {
      if (job.isScheduledInstance && job.state == cloud::JobState::kCompleted)
        return movedOnto(s, s.notes["copy"]);
    }
    return {};
  };
  return row;
}

}  // namespace

std::vector<Row> cloudRows() {
  return {transferRow("move"), transferRow("sync"),    transferRow("bisync"),
          purgeRow(),          remoteDeleteRow(false), remoteDeleteRow(true),
          autoSyncRow(false),  autoSyncRow(true),      scheduleRow()};
}

}  // namespace brimvale::faults
