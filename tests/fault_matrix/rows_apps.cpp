// The app mover's commands in the fault matrix: apps move, move-back,
// offload, restore and the reinstall sweep (by command and as `brimvale run`
// does it unattended). Each cell lays out an app of its own under the
// namespace's /Applications (cells run side by side there), so its bundle,
// its parked original and its kept versions are told apart by the app's name
// and bundle identifier.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

const fs::path kApplications = "/Applications";

std::atomic<int> gApps{0};

// A name and bundle identifier no other cell uses.
struct AppNames {
  std::string name;
  std::string bundleID;
  [[nodiscard]] fs::path bundle() const { return kApplications / (name + ".app"); }
};

AppNames freshApp() {
  const std::string n = std::to_string(getpid()) + "-" + std::to_string(++gApps);
  return {"FM App " + n, "org.example.fm" + n};
}

// What each file of the app holds; `flavour` makes a reinstalled version.
std::map<std::string, std::string> appFiles(const AppNames& app, const std::string& flavour) {
  const std::string exe = app.name;
  return {
      {"Contents/Info.plist",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
       "<key>CFBundleExecutable</key><string>" +
           exe + "</string><key>CFBundleIdentifier</key><string>" + app.bundleID +
           "</string><key>CFBundleShortVersionString</key><string>" +
           (flavour.empty() ? "1.0" : "2.0") + "</string></dict></plist>"},
      {"Contents/MacOS/" + exe, "#!/bin/sh\necho '" + app.name + flavour + " runs'\n"},
      {"Contents/Resources/strings", "\"hello\" = \"hallo " + app.name + flavour + "\";\n"},
      {"Contents/Resources/data.bin", std::string(3000, 'd') + app.name + flavour},
      {"Contents/Resources/en.lproj/Localizable strings", "\"bye\" = \"" + app.name + "\";\n"},
  };
}

void layOutApp(const fs::path& bundle, const AppNames& app, const std::string& flavour = "") {
  for (const auto& [rel, content] : appFiles(app, flavour)) {
    fs::create_directories((bundle / rel).parent_path());
    std::ofstream(bundle / rel, std::ios::binary) << content;
  }
  fs::permissions(bundle / "Contents/MacOS" / app.name, fs::perms(0755));
  fs::create_symlink("en.lproj/Localizable strings", bundle / "Contents/Resources/current");
}

// Empty when `bundle` (read through a link) holds every file of the app as laid out.
std::string holdsApp(const fs::path& bundle, const AppNames& app, const std::string& flavour = "") {
  std::error_code ec;
  if (!fs::is_directory(bundle, ec)) return bundle.string() + " is not a bundle";
  for (const auto& [rel, content] : appFiles(app, flavour)) {
    const auto now = readFile(bundle / rel);
    if (!now || *now != content)
      return (bundle / rel).string() + " is not as the app had it (" +
             (now ? std::to_string(now->size()) + " bytes, not " + std::to_string(content.size())
                  : now.error().message()) +
             ")";
  }
  return {};
}

// Every place in /Applications this cell's app may be: the bundle, its
// staged and kept versions, its parked original.
std::function<std::vector<fs::path>()> appRoots(const AppNames& app) {
  return [app] {
    std::vector<fs::path> out;
    for (const fs::path& folder : {kApplications, kApplications / ".brimvale-quarantine/apps"}) {
      std::error_code ec;
      for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string leaf = it->path().filename().string();
        if (leaf.starts_with(app.name + ".app") || leaf.starts_with(app.bundleID + "."))
          out.push_back(it->path());
      }
    }
    return out;
  };
}

// The app's own data folder, which an offload archives with it.
fs::path dataFolder(Scene& s, const AppNames& app) {
  return s.world.home().path() / ".config" / app.bundleID;
}

// Lays out a fresh app for the cell; nothing when it could not be written whole.
std::optional<AppNames> prepareApp(Scene& s) {
  const AppNames app = freshApp();
  s.notes["name"] = app.name;
  s.notes["bundleID"] = app.bundleID;
  s.moreRoots = appRoots(app);
  s.target = app.bundle();
  layOutApp(app.bundle(), app);
  if (std::string wrong = holdsApp(app.bundle(), app); !wrong.empty()) {
    std::cerr << "setup: " << wrong << "\n";
    return std::nullopt;
  }
  return app;
}

AppNames appOf(const Scene& s) { return {s.notes.at("name"), s.notes.at("bundleID")}; }

// The relocation `brimvale apps moved --json` lists for the app, as JSON (null: none).
nlohmann::json liveMove(Scene& s, const AppNames& app) {
  const ProcessResult r = s.world.run({.args = {"apps", "moved", "--json"}});
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  if (j.is_object() && j.contains("apps") && j["apps"].is_array()) {
    for (const auto& m : j["apps"]) {
      if (m.value("originalPath", "") == app.bundle().string()) return m;
    }
  }
  return nullptr;
}

// Empty when the app opens through a link from a drive copy that holds it
// as laid out, and a live relocation records it.
std::string movedAsRecorded(Scene& s, const AppNames& app, const std::string& flavour = "") {
  std::error_code ec;
  if (!fs::is_symlink(app.bundle(), ec)) return app.bundle().string() + " is not a link";
  const fs::path copy = fs::read_symlink(app.bundle(), ec);
  if (!isBelow(copy, s.world.working() / "Apps")) return "the link leads to " + copy.string();
  if (std::string wrong = holdsApp(copy, app, flavour); !wrong.empty()) return wrong;
  const auto live = liveMove(s, app);
  if (live.is_null() || live.value("nvmePath", "") != copy.string())
    return "no live relocation of " + app.bundle().string() + " is recorded";
  return {};
}

// Runs a step of the preparation; false (said on standard error) when it failed.
bool ran(Scene& s, const std::vector<std::string>& args) {
  const ProcessResult r = s.world.run({.args = args});
  if (!r.succeeded()) {
    std::cerr << "setup `brimvale " << args[0] << " " << args[1] << "`: " << r.describe() << "\n"
              << r.out << r.err;
  }
  return r.succeeded();
}

// The offload record of the app as `brimvale apps restore` lists it: id and archive.
std::optional<std::pair<std::string, std::string>> offloadRecord(Scene& s, const AppNames& app) {
  const ProcessResult r = s.world.run({.args = {"apps", "restore"}});
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("  " + app.name + "  done  ") == std::string::npos) continue;
    const auto arrow = line.find(" \u2192 ");
    if (arrow == std::string::npos) continue;
    return std::pair(line.substr(0, line.find("  ")), line.substr(arrow + 5));
  }
  return std::nullopt;
}

Row moveRow() {
  Row row;
  row.name = "brimvale apps move";
  row.prepare = [](Scene& s) {
    const auto prepared = prepareApp(s);
    if (!prepared) return false;
    const AppNames& app = *prepared;
    s.command = {.args = {"apps", "move", app.bundle().string(), "--yes"}};
    return true;
  };
  row.moments = {"app-move-copying", "app-move-step4", "app-move-step5", "app-move-step6",
                 "app-move-committed"};
  row.claimHolds = [](Scene& s) { return movedAsRecorded(s, appOf(s)); };
  row.successText = "Moved \u201c";
  return row;
}

Row appMoveBackRow() {
  Row row;
  row.name = "brimvale apps move-back";
  row.prepare = [](Scene& s) {
    const auto prepared = prepareApp(s);
    if (!prepared) return false;
    const AppNames& app = *prepared;
    if (!ran(s, {"apps", "move", app.bundle().string(), "--yes"})) return false;
    s.command = {.args = {"apps", "move-back", app.bundle().string(), "--yes"}};
    return true;
  };
  row.moments = {"app-move-back-copying", "app-move-back-staged", "app-move-back-unlinked",
                 "app-move-back-renamed", "app-move-back-retired"};
  row.claimHolds = [](Scene& s) -> std::string {
    const AppNames app = appOf(s);
    std::error_code ec;
    if (fs::is_symlink(app.bundle(), ec)) return app.bundle().string() + " is still a link";
    if (std::string wrong = holdsApp(app.bundle(), app); !wrong.empty()) return wrong;
    if (!liveMove(s, app).is_null()) return "the app is still recorded as on the drive";
    return {};
  };
  row.successText = "Brought \u201c";
  return row;
}

Row offloadRow() {
  Row row;
  row.name = "brimvale apps offload";
  row.prepare = [](Scene& s) {
    const auto prepared = prepareApp(s);
    if (!prepared) return false;
    const AppNames& app = *prepared;
    const fs::path data = dataFolder(s, app);
    fs::create_directories(data);
    std::ofstream(data / "settings.json") << "{\"owner\": \"" << app.name << "\"}\n";
    s.command = {.args = {"apps", "offload", app.bundle().string(), "--yes"}};
    return true;
  };
  row.moments = {"offload:verified", "offload:removed"};
  row.claimHolds = [](Scene& s) -> std::string {
    const AppNames app = appOf(s);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(app.bundle(), ec)))
      return app.bundle().string() + " is there";
    const auto record = offloadRecord(s, app);
    if (!record) return "no finished offload of the app is recorded";
    return holdsApp(fs::path(record->second) / (app.name + ".app"), app);
  };
  row.successText = "Offloaded \u201c";
  return row;
}

Row restoreRow() {
  Row row;
  row.name = "brimvale apps restore";
  row.prepare = [](Scene& s) {
    const auto prepared = prepareApp(s);
    if (!prepared) return false;
    const AppNames& app = *prepared;
    if (!ran(s, {"apps", "offload", app.bundle().string(), "--yes"})) return false;
    const auto record = offloadRecord(s, app);
    if (!record) {
      std::cerr << "setup: the offload of " << app.name << " is not listed\n";
      return false;
    }
    s.notes["id"] = record->first;
    s.target = fs::path(record->second) / (app.name + ".app");
    s.command = {.args = {"apps", "restore", record->first, "--yes"}};
    return true;
  };
  row.moments = {"restore:copied"};
  row.claimHolds = [](Scene& s) -> std::string {
    const AppNames app = appOf(s);
    if (std::string wrong = holdsApp(app.bundle(), app); !wrong.empty()) return wrong;
    if (offloadRecord(s, app)) return "the offload is still recorded";
    return {};
  };
  row.successText = "Restored \u201c";
  return row;
}

Row reinstallSweepRow(bool unattended) {
  Row row;
  row.name = unattended ? "brimvale run (reinstall sweep)" : "brimvale apps reinstalls --sweep";
  row.prepare = [unattended](Scene& s) {
    const auto prepared = prepareApp(s);
    if (!prepared) return false;
    const AppNames& app = *prepared;
    if (!ran(s, {"apps", "move", app.bundle().string(), "--yes"})) return false;
    // An updater puts a newer version back in place of the link.
    std::error_code ec;
    fs::remove(app.bundle(), ec);
    layOutApp(app.bundle(), app, " 2");
    s.command =
        unattended ? unattendedRun(s) : Invocation{.args = {"apps", "reinstalls", "--sweep"}};
    return true;
  };
  row.moments = {"app-move-step1", "app-move-step5", "app-move-committed"};
  if (unattended) {
    // The run claims only what its log says it moved.
    row.claimHolds = [](Scene& s) -> std::string {
      if (s.judgedOut.find("Vendor reinstall: Moved \u201c") == std::string::npos) return {};
      return movedAsRecorded(s, appOf(s), " 2");
    };
    return row;
  }
  // Exit 0 says every reinstall the records know of was moved again; a
  // sweep that finds no record (junk state) has nothing to claim.
  row.claimHolds = [](Scene& s) -> std::string {
    const AppNames app = appOf(s);
    if (liveMove(s, app).is_null() && !fs::is_symlink(app.bundle())) return {};
    return movedAsRecorded(s, app, " 2");
  };
  return row;
}

}  // namespace

std::vector<Row> appsRows() {
  return {moveRow(),    appMoveBackRow(),         offloadRow(),
          restoreRow(), reinstallSweepRow(false), reinstallSweepRow(true)};
}

}  // namespace brimvale::faults
