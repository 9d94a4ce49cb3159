// The commands that bring everything home or leave for good, in the fault
// matrix: the panic button and uninstalling, against a home with every shape
// of relocation (per-file links, a folder link with its parked original, a
// folder link whose original was deleted, a folder relocated again after a
// move back, a moved app).
#include <filesystem>
#include <fstream>
#include <iostream>

#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// A step of laying out the world ran; when not, says why on stderr (the cell
// then counts as failed: a world that could not be made proves nothing).
bool laidOut(const ProcessResult& r, const std::string& step) {
  if (!r.succeeded()) std::cerr << step << ": " << r.describe() << "\n" << r.out << r.err;
  return r.succeeded();
}

// A small app bundle in ~/Applications, moved to the drive by the app mover.
bool moveAnApp(Scene& s) {
  const fs::path bundle = s.world.home() / "Applications" / "Tool.app";
  fs::create_directories(bundle / "Contents" / "MacOS");
  std::ofstream(bundle / "Contents" / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
      << "<key>CFBundleExecutable</key><string>Tool</string>"
      << "<key>CFBundleIdentifier</key><string>org.example.Tool</string>"
      << "<key>CFBundleShortVersionString</key><string>1.0</string></dict></plist>";
  std::ofstream(bundle / "Contents" / "MacOS" / "Tool") << "#!/bin/sh\necho 'Tool runs'\n";
  std::ofstream(bundle / "Contents" / "Resources.dat") << std::string(3000, 't');
  s.notes["app"] = bundle.string();
  return laidOut(s.world.run({.args = {"apps", "move", bundle.string(), "--yes"}}), "apps move");
}

// ~/Projects relocated by the folder mover, one link per file; then a link
// replaced by a real file that differs from the drive's version (as an editor
// saving by rename does) and a file written only at home. That file, which a
// writer appends to, has a backup outside the home: what the writer itself
// overwrites is its own doing, not the command's loss.
bool relocatePerFile(Scene& s) {
  const fs::path projects = s.world.home() / "Projects";
  writeUserTree(projects);
  if (!laidOut(s.world.run({.args = {"move", projects.string(), "--yes"}}), "move")) return false;
  fs::remove(projects / "doc.txt");
  std::ofstream(projects / "doc.txt") << "an older doc.txt, put back at home by hand\n";
  std::ofstream(projects / "home-only.txt") << "written at home after the relocation\n";
  fs::create_directories(s.world.scratch() / "backup");
  fs::copy_file(projects / "doc.txt", s.world.scratch() / "backup" / "doc.txt");
  return true;
}

// ~/Data relocated by the service (a folder link, its original parked
// beside it) and changed on the drive since; ~/Pictures the same, its parked
// original confirmed and deleted, so only the link is left.
bool relocateFolders(Scene& s) {
  for (const char* name : {"Data", "Pictures"}) {
    const fs::path folder = s.world.home() / name;
    writeUserTree(folder, 6);
    const ProcessResult r =
        s.world.run({.program = Program::kService, .args = {"move-dir", folder.string()}});
    if (!laidOut(r, "move-dir")) return false;
  }
  std::ofstream(s.world.home() / "Data" / "doc.txt", std::ios::app) << "edited on the drive\n";
  const fs::path parked = s.world.home() / "Pictures.hollin-old";
  return laidOut(s.world.run({.args = {"parked", "confirm", parked.string(), "--yes"}}),
                 "parked confirm");
}

// ~/Music relocated, moved back and relocated again at once: the move back's record stays beside
// the newer relocation, both of about the same second.
bool relocateAgain(Scene& s) {
  const fs::path music = s.world.home() / "Music";
  writeUserTree(music, 4);
  if (!laidOut(s.world.run({.args = {"move", music.string(), "--yes"}}), "move")) return false;
  std::string id;
  for (const auto& m : moves(s)) {
    if (m.value("src", "") == music.string()) id = m.value("id", "");
  }
  if (id.empty() ||
      !laidOut(s.world.run({.args = {"moves", "revert", id, "--yes"}}), "moves revert")) {
    return false;
  }
  return laidOut(
      s.world.run({.args = {"move", music.string(), "--yes", "--bypass-recent-write-guard"}}),
      "move again");
}

// Links under the home folder that lead into the drive's working folder.
std::string linkIntoTheDrive(const fs::path& home, const fs::path& working) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(home, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    const fs::path target = fs::read_symlink(it->path(), ec);
    const fs::path to = (it->path().parent_path() / target).lexically_normal();
    if (isBelow(to, working) || to == working)
      return it->path().string() + " still leads to " + to.string();
  }
  return {};
}

// Nothing is relocated any more: no link into the drive, each folder and the
// app a real folder at its path.
std::string everythingHome(Scene& s, const std::vector<std::string>& folders) {
  if (std::string wrong = linkIntoTheDrive(s.world.home().path(), s.world.working());
      !wrong.empty())
    return wrong;
  std::vector<fs::path> places;
  for (const auto& f : folders) places.push_back(s.world.home() / f);
  if (s.notes.contains("app")) places.emplace_back(s.notes["app"]);
  for (const auto& place : places) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(place, ec)))
      return place.string() + " is not a folder at home";
  }
  return {};
}

Row panicRow() {
  Row row;
  row.name = "brimvale panic-recovery --yes";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Projects";
    s.command = {.args = {"panic-recovery", "--yes"}};
    return relocatePerFile(s) && relocateFolders(s) && relocateAgain(s) && moveAnApp(s);
  };
  row.moments = {"homecoming:paused",      "homecoming:parked-updated", "homecoming:unlinked",
                 "homecoming:parked-made", "homecoming:staged",         "homecoming:set-aside",
                 "homecoming:swapped",     "homecoming:recorded",       "homecoming:copy-removed",
                 "homecoming:kept-aside",  "homecoming:apps-settled",   "app-move-back-staged"};
  row.claimHolds = [](Scene& s) {
    return everythingHome(s, {"Projects", "Data", "Pictures", "Music"});
  };
  row.successText = "Everything is home";
  return row;
}

// Uninstalling refuses while anything is relocated, the drive plugged in or
// not. The world holds what the list once missed: per-file links and an app.
Row uninstallRow(bool purge) {
  Row row;
  row.name = purge ? "brimvale uninstall --purge --yes" : "brimvale uninstall --yes";
  row.prepare = [purge](Scene& s) {
    s.target = s.world.home() / "Projects";
    s.command = {.args = {"uninstall", "--yes"}};
    if (purge) s.command.args.push_back("--purge");
    return relocatePerFile(s) && moveAnApp(s);
  };
  row.moments = {"uninstall:locked"};
  row.claimHolds = [](Scene& s) { return everythingHome(s, {"Projects"}); };
  row.successText = "Brimvale is uninstalled";
  return row;
}

}  // namespace

std::vector<Row> recoveryRows() { return {panicRow(), uninstallRow(false), uninstallRow(true)}; }

}  // namespace brimvale::faults
