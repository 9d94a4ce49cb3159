// The folder mover's commands in the fault matrix.
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

bool there(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

// Every file of the relocated folder at `home` is a link to a file in `working`.
std::string everyFileLinkedInto(const fs::path& home, const fs::path& working) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(home, ec)))
    return home.string() + " is no longer a folder";
  for (fs::recursive_directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
    if (!it->is_symlink(ec)) return it->path().string() + " was left as a real file";
    const fs::path target = fs::read_symlink(it->path(), ec);
    if (!isBelow(target, working) || !fs::exists(target, ec))
      return it->path().string() + " links to " + target.string();
  }
  return {};
}

// No link below `home` leads into `working`, and `home` is a real folder.
std::string nothingLinkedInto(const fs::path& home, const fs::path& working) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(home, ec))) return home.string() + " is not a folder";
  for (fs::recursive_directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_symlink(ec) && isBelow(fs::read_symlink(it->path(), ec), working))
      return it->path().string() + " still links to the drive";
  }
  return {};
}

// The id of the newest move of `src`, empty when there is none.
std::string moveOf(Scene& s, const fs::path& src) {
  for (const auto& m : moves(s)) {
    if (m.value("src", "") == src.string()) return m.value("id", "");
  }
  return {};
}

// `brimvale moves --json` lists a finished move of `src`.
std::string recordedAsDone(Scene& s, const fs::path& src) {
  for (const auto& m : moves(s)) {
    if (m.value("src", "") == src.string() && m.value("phase", "") == "done") return {};
  }
  return "brimvale moves shows no finished move of " + src.string();
}

// Runs a command while the row lays out its world; false (said) when it failed.
bool ran(Scene& s, const std::vector<std::string>& args, std::vector<std::string> hooks = {}) {
  const ProcessResult r = s.world.run({.args = args}, hooks);
  const bool killed = !hooks.empty() && r.outcome == ProcessOutcome::kSignalled;
  if (!r.succeeded() && !killed) {
    std::cerr << "preparing " << args.front() << ": " << r.describe() << "\n" << r.out << r.err;
    return false;
  }
  return true;
}

fs::path copyOf(Scene& s, const std::string& name) {
  return s.world.working() / "Relocated" / name;
}

// ~/Projects relocated (or moved, without links) by `brimvale move`; its move id in notes.
bool movedProjects(Scene& s, bool links) {
  s.target = s.world.home() / "Projects";
  writeUserTree(s.target);
  std::vector<std::string> args{"move", s.target.string(), "--yes"};
  if (!links) args.push_back("--no-links");
  if (!ran(s, args)) return false;
  s.notes["id"] = moveOf(s, s.target);
  return !s.notes["id"].empty();
}

const std::vector<std::string> kRelinkMoments{"mover:claimed", "mover:copied", "mover:verified",
                                              "mover:relinked"};

Row moveRow(bool links) {
  Row row;
  row.name = links ? "brimvale move" : "brimvale move --no-links";
  row.prepare = [links](Scene& s) {
    s.target = s.world.home() / "Projects";
    writeUserTree(s.target);
    s.command = {.args = {"move", s.target.string(), "--yes"}};
    if (!links) s.command.args.push_back("--no-links");
    return true;
  };
  row.moments = kRelinkMoments;
  if (!links) row.moments = {"mover:claimed", "mover:copied", "mover:verified", "mover:removed"};
  row.claimHolds = [links](Scene& s) -> std::string {
    if (std::string wrong = recordedAsDone(s, s.target); !wrong.empty()) return wrong;
    if (links) return everyFileLinkedInto(s.target, s.world.working());
    if (there(s.target)) return s.target.string() + " is still there";
    if (!fs::is_directory(copyOf(s, "Projects"))) return "no copy at the drive";
    return {};
  };
  row.successText = links ? "Relocated " : "Moved ";
  return row;
}

// A relocation killed right after its copy, finished by `moves resume`.
Row resumeRow() {
  Row row;
  row.name = "brimvale moves resume";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Projects";
    writeUserTree(s.target);
    if (!ran(s, {"move", s.target.string(), "--yes"}, {"--stop-after=mover:copied"})) return false;
    s.command = {.args = {"moves", "resume"}};
    return true;
  };
  row.moments = {"mover:verified", "mover:relinked", "mover:done"};
  row.claimHolds = [](Scene& s) -> std::string {
    if (std::string wrong = recordedAsDone(s, s.target); !wrong.empty()) return wrong;
    return everyFileLinkedInto(s.target, s.world.working());
  };
  row.successText = "Relocated ";
  return row;
}

// A plain move brought back by `moves revert`.
Row revertRow() {
  Row row;
  row.name = "brimvale moves revert";
  row.prepare = [](Scene& s) {
    if (!movedProjects(s, false)) return false;
    s.command = {.args = {"moves", "revert", s.notes["id"], "--yes"}};
    return true;
  };
  row.moments = {"mover:claimed", "mover:copied", "mover:verified", "mover:removed"};
  row.claimHolds = [](Scene& s) -> std::string {
    if (std::string wrong = recordedAsDone(s, copyOf(s, "Projects")); !wrong.empty()) return wrong;
    if (there(copyOf(s, "Projects"))) return "the copy on the drive is still there";
    return nothingLinkedInto(s.target, s.world.working());
  };
  row.successText = "Moved ";
  return row;
}

// A relocation stopped after its copy, cancelled by `moves cancel`.
Row cancelRow() {
  Row row;
  row.name = "brimvale moves cancel";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Projects";
    writeUserTree(s.target);
    if (!ran(s, {"move", s.target.string(), "--yes"}, {"--stop-after=mover:copied"})) return false;
    s.command = {.args = {"moves", "cancel", moveOf(s, s.target)}};
    return true;
  };
  row.moments = {"mover:cancelled"};
  row.notApplicable = {{Fault::kPlantedLink,
                        "cancelling rewrites only the move's record and never opens the folder, "
                        "so a link put in its place cannot lead it anywhere"}};
  row.claimHolds = [](Scene& s) -> std::string {
    for (const auto& m : moves(s)) {
      if (m.value("src", "") == s.target.string() && m.value("phase", "") != "cancelled")
        return "the move is " + m.value("phase", "") + ", not cancelled";
    }
    return nothingLinkedInto(s.target, s.world.working());
  };
  row.successText = "Cancelled";
  return row;
}

// A relocation brought home by `relocated move-back`.
Row moveBackRow() {
  Row row;
  row.name = "brimvale relocated move-back";
  row.prepare = [](Scene& s) {
    if (!movedProjects(s, true)) return false;
    s.command = {.args = {"relocated", "move-back", s.notes["id"].substr(0, 8), "--yes"}};
    return true;
  };
  row.moments = {"mover:copied", "mover:verified", "mover:kept-beside", "mover:removed"};
  row.claimHolds = [](Scene& s) -> std::string {
    if (there(copyOf(s, "Projects"))) return "the copy on the drive is still there";
    if (std::string wrong = nothingLinkedInto(s.target, s.world.working()); !wrong.empty())
      return wrong;
    const ProcessResult listed = s.world.run({.args = {"relocated", "--json"}});
    if (listed.out.find(s.notes["id"]) != std::string::npos)
      return "it is still listed as relocated";
    return {};
  };
  row.successText = "is back on the internal disk";
  return row;
}

// A relocation whose copy was deleted by hand, with a file of the user's
// beside the links, cleared away by `relocated delete`.
Row deleteRow() {
  Row row;
  row.name = "brimvale relocated delete";
  row.prepare = [](Scene& s) {
    if (!movedProjects(s, true)) return false;
    std::error_code ec;
    fs::remove_all(copyOf(s, "Projects"), ec);
    std::ofstream(s.target / "mine.txt") << "written on the internal disk after the move\n";
    s.command = {.args = {"relocated", "delete", s.notes["id"].substr(0, 8), "--yes"}};
    return !ec;
  };
  row.moments = {"relocated:link-removed"};
  row.claimHolds = [](Scene& s) -> std::string {
    if (!there(s.target / "mine.txt")) return "the user's own file is gone";
    std::error_code ec;
    for (fs::recursive_directory_iterator it(s.target, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->is_symlink(ec) && !fs::exists(it->path(), ec))
        return it->path().string() + " still dangles";
    }
    const ProcessResult listed = s.world.run({.args = {"relocated", "--json"}});
    if (listed.out.find(s.notes["id"]) != std::string::npos)
      return "it is still listed as relocated";
    return {};
  };
  row.successText = "Cleared away";
  return row;
}

// Two folders relocated in turn by the numbered `relocate`.
Row relocateRow() {
  Row row;
  row.name = "brimvale relocate";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Projects";
    writeUserTree(s.target);
    writeUserTree(s.world.home() / "Music", 5);
    s.command = {
        .args = {"relocate", s.target.string(), (s.world.home() / "Music").string(), "--yes"}};
    return true;
  };
  row.moments = kRelinkMoments;
  row.claimHolds = [](Scene& s) -> std::string {
    for (const fs::path& folder : {s.target, s.world.home() / "Music"}) {
      if (std::string wrong = recordedAsDone(s, folder); !wrong.empty()) return wrong;
      if (std::string wrong = everyFileLinkedInto(folder, s.world.working()); !wrong.empty())
        return wrong;
    }
    return {};
  };
  return row;  // exit status alone: the first folder's "Relocated" is no claim about the second
}

// An original parked beside the link to its copy, as move-dir leaves it.
bool parkedProjects(Scene& s) {
  const fs::path relocated = s.world.home() / "Projects";
  s.target = s.world.home() / "Projects.hollin-old";
  writeUserTree(s.target);
  const fs::path copy = copyOf(s, "Projects");
  fs::create_directories(copy.parent_path());
  if (!runTool(runProcess, "/usr/bin/rsync", {"-a", s.target.string() + "/", copy.string() + "/"},
               std::chrono::seconds(30))
           .succeeded())
    return false;
  std::error_code ec;
  fs::create_directory_symlink(copy, relocated, ec);
  s.deletes = {s.target};
  return !ec;
}

std::string parkedGone(Scene& s) {
  if (there(s.target)) return s.target.string() + " is still there";
  if (fs::read_symlink(s.world.home() / "Projects") != copyOf(s, "Projects"))
    return "the link to the copy changed";
  return {};
}

Row parkedConfirmRow() {
  Row row;
  row.name = "brimvale parked confirm";
  row.prepare = [](Scene& s) {
    if (!parkedProjects(s)) return false;
    s.command = {.args = {"parked", "confirm", s.target.string(), "--yes"}};
    return true;
  };
  row.moments = {"parked:verified"};
  row.claimHolds = parkedGone;
  row.successText = "Deleted the parked original";
  return row;
}

Row cleanupOldRow() {
  Row row;
  row.name = "brimvale cleanup-old";
  row.prepare = [](Scene& s) {
    if (!parkedProjects(s)) return false;
    s.command = {.args = {"cleanup-old", "--yes"}};
    return true;
  };
  row.moments = {"parked:verified"};
  row.claimHolds = parkedGone;
  row.successText = "Deleted the parked original";
  return row;
}

}  // namespace

std::vector<Row> moverRows() {
  return {moveRow(true), moveRow(false), resumeRow(),   revertRow(),        cancelRow(),
          moveBackRow(), deleteRow(),    relocateRow(), parkedConfirmRow(), cleanupOldRow()};
}

}  // namespace brimvale::faults
