// Tests only: a private world for app moves: an applications folder, a home
// with its state folder and a drive (a tmpfs of its own, so the mover's mount
// checks see a drive) with this computer's working folder, all in one
// temporary folder, with the fake tools, fault-injecting file calls, a
// settable clock and a captured log.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "apps/app_move_environment.h"
#include "apps/app_move_guards.h"
#include "apps/app_move_store.h"
#include "apps/nine_step_machine.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/base/tree_view.h"
#include "testing/platform/fake_app_relocation_tools.h"

namespace brimvale::apps::testing {

namespace fs = std::filesystem;

// Rewrites `file` with other bytes of the same length and puts its
// modification time back: only its bytes (and change time) tell.
inline void rewriteInPlace(const fs::path& file, char fill) {
  struct stat st {};
  ::lstat(file.c_str(), &st);
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      << std::string(static_cast<std::size_t>(st.st_size), fill);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// What sits in `folder` under `name`.kept-<stamp>, by path.
inline std::vector<fs::path> keptBeside(const fs::path& folder, const std::string& name) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(name + ".kept-")) out.push_back(it->path());
  }
  return out;
}

class AppMoveWorld {
 public:
  brimvale::testing::TempFolder tmp{"bv-appmove"};
  fs::path home = tmp.folder("home");
  fs::path applications = tmp.folder("Applications");
  brimvale::testing::TmpfsMount drive{tmp / "Drive", "64m", "0755"};
  fs::path workingFolder = tmp.folder("Drive/BRIM-Test-Mac");
  fs::path appsRoot = workingFolder / "Apps";
  StatePaths paths = StatePaths::forHome(home);
  platform::testing::FakeAppRelocationTools tools;
  brimvale::testing::FailingFileOperations files;
  std::vector<std::string> logs;
  std::time_t now = 1'780'000'000;
  bool userCanWrite = true;
  mover::VolumeCaseSensitivity sourceCase = mover::VolumeCaseSensitivity::kSensitive;
  mover::VolumeCaseSensitivity driveCase = mover::VolumeCaseSensitivity::kSensitive;
  AppManifestStore store{paths.appMovesFolder, [this](const std::string& l) { logs.push_back(l); },
                         [this] { return now; }};
  AppMoveEnvironment env;

  AppMoveWorld() {
    if (!drive.mounted()) ADD_FAILURE() << drive.whyNot();
    env.paths = paths;
    env.computerName = "Test Mac";
    env.tools = &tools;
    env.files = &files;
    env.store = &store;
    env.clock = [this] { return now; };
    env.log = [this](const std::string& line) { logs.push_back(line); };
    env.applicationRoots = {applications};
    env.userCanWrite = [this](const fs::path&) { return userCanWrite; };
    env.caseSensitivityOf = [this](const fs::path& folder) {
      return folder.string().starts_with(workingFolder.string()) ? driveCase : sourceCase;
    };
  }

  // A bundle with an executable, resources, a nested folder and an inner link.
  fs::path makeBundle(const std::string& name, const std::string& version = "1.0",
                      const std::string& flavour = "") const {
    const fs::path bundle = applications / (name + ".app");
    tmp.file(bundle / "Contents/Info.plist",
             R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
             "<key>CFBundleExecutable</key><string>" +
                 name + "</string><key>CFBundleShortVersionString</key><string>" + version +
                 "</string></dict></plist>");
    tmp.file(bundle / "Contents/MacOS" / name, "binary of " + name + flavour);
    tmp.file(bundle / "Contents/Resources/en.lproj/Strings", std::string(3000, 's') + flavour);
    tmp.file(bundle / "Contents/Resources/big.dat", std::string(70'000, 'b'));
    tmp.link(bundle / "Contents/Resources/current", "en.lproj/Strings");
    return bundle;
  }

  AppEntry entry(const std::string& name,
                 std::optional<std::string> bundleID = "com.test.app") const {
    AppEntry app;
    app.displayName = name;
    app.bundlePath = (applications / (name + ".app")).string();
    app.id = app.bundlePath;
    app.bundleIdentifier = std::move(bundleID);
    app.sizeBytes = 80'000;
    return app;
  }

  EngineJob job(const std::string& name) const {
    return EngineJob{"0F8FAD5B-D9CB-469F-A165-70867728950E", entry(name), appsRoot, {}, false};
  }

  [[nodiscard]] bool logged(const std::string& part) const {
    for (const auto& line : logs) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  // Everything parked in the home quarantine.
  [[nodiscard]] std::vector<fs::path> parked() const {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(homeQuarantineRoot(home), ec), end; !ec && it != end;
         it.increment(ec)) {
      out.push_back(it->path());
    }
    return out;
  }
};

}  // namespace brimvale::apps::testing
