#include "app/cli/autosync_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "platform/user_defaults.h"
#include "testing/temp_folder.h"
#include "testing/tmpfs_drive.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

// A temporary home whose status names a tmpfs drive with this computer's
// working folder on it; the command's output and log lines are kept.
struct AutoSyncRig {
  testing::TempFolder root{"bv-autosync-cmd"};
  StatePaths paths = StatePaths::forHome(root / "home");
  platform::AppPlatform host;
  std::ostringstream out, err;
  std::istringstream in;
  MoverCommandContext mc{paths, host, nullptr, "Test Box", out, err, in};
  std::vector<std::string> logged;
  AutoSyncCommandContext c{.mover = mc,
                           .log = [this](const std::string& line) { logged.push_back(line); }};
  testing::TmpfsMount drive{root / "Drive", "16m"};
  fs::path working = workingFolderFor(root / "Drive", "Test Box");

  AutoSyncRig() {
    fs::create_directories(paths.state);
    host.defaults = platform::makeJsonUserDefaults(paths.state / "user-defaults.json");
    std::ofstream(paths.config) << "NVMe=\"" << (root / "Drive").string() << "\"\n";
    fs::create_directories(working);
  }

  int run(const std::string& action, std::vector<std::string> words = {},
          std::vector<std::string> excludes = {}, bool json = false) {
    out.str("");
    err.str("");
    return autosyncCommand(c, {action, std::move(words), std::move(excludes), json});
  }
  // The single policy's id, from the JSON list.
  std::string onlyId() {
    run("list", {}, {}, true);
    const auto list = nlohmann::json::parse(out.str());
    return list.size() == 1 ? list[0]["id"].get<std::string>() : "";
  }
};

// Given folders and destinations of each kind, then `add` stores the policy
// or refuses it with the sentence (and the log line) that says why.
TEST(AutoSyncCommand, AddRefusesUnsafeFoldersAndDestinationsOffTheDrive) {
  struct Case {
    const char* name;
    const char* folder;       // under home; "{working}" for the drive
    const char* destination;  // "{working}/..." or under root
    int status;
    const char* says;  // in out (status 0) or err
    const char* logged;
  };
  const Case cases[] = {
      {"documents itself", "Documents", "{working}/Docs", 1, "Brimvale won't watch",
       "AutoSyncManager: refusing to register policy for unsafe path "},
      {"inside documents", "Documents/Invoices", "{working}/Invoices", 0, "Watching ", ""},
      {"home itself", "", "{working}/Home", 1, "Brimvale won't watch",
       "AutoSyncManager: refusing to register policy for unsafe path "},
      {"destination at home", "Documents/Invoices", "{home}/Copies", 1,
       "because it is not on your fast drive",
       "AutoSyncManager: refusing to register policy with non-NVMe destination "},
      {"destination on the drive but outside the working folder", "Documents/Invoices",
       "{drive}/Loose", 1, "because it is not on your fast drive",
       "AutoSyncManager: refusing to register policy with non-NVMe destination "},
      {"no such folder", "Nowhere", "{working}/Nowhere", 1, "There is no folder at", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    AutoSyncRig rig;
    BRIMVALE_REQUIRE_DRIVE(rig.drive);
    fs::create_directories(rig.paths.home / "Documents/Invoices");
    std::string dest = k.destination;
    for (auto [key, value] : {std::pair<std::string, fs::path>{"{working}", rig.working},
                              {"{home}", rig.paths.home},
                              {"{drive}", rig.root / "Drive"}}) {
      if (dest.starts_with(key)) dest = value.string() + dest.substr(key.size());
    }
    const fs::path folder = rig.paths.home / k.folder;
    EXPECT_EQ(rig.run("add", {folder.string(), dest}), k.status) << rig.err.str();
    EXPECT_NE((k.status == 0 ? rig.out : rig.err).str().find(k.says), std::string::npos)
        << rig.out.str() << rig.err.str();
    if (*k.logged) {
      ASSERT_EQ(rig.logged.size(), 1u);
      EXPECT_TRUE(rig.logged[0].starts_with(k.logged)) << rig.logged[0];
    }
    EXPECT_EQ(rig.onlyId().empty(), k.status != 0);
  }
}

// Given one stored policy, then each action changes exactly what it names
// and the JSON list shows it; unknown ids and missing words change nothing.
TEST(AutoSyncCommand, ActionsChangeTheStoredPolicy) {
  AutoSyncRig rig;
  BRIMVALE_REQUIRE_DRIVE(rig.drive);
  const fs::path folder = rig.root.folder("home/Inbox");
  ASSERT_EQ(rig.run("add", {folder.string(), (rig.working / "Inbox").string()}, {"*.tmp"}), 0);
  const std::string id = rig.onlyId();
  ASSERT_FALSE(id.empty());
  const std::string shortId = id.substr(0, 8);

  struct Step {
    const char* action;
    std::vector<std::string> words;
    int status;
    bool present;  // the policy is still stored
    bool enabled;
  };
  const Step steps[] = {
      {"disable", {shortId}, 0, true, false},   {"disable", {}, 2, true, false},
      {"enable", {"FFFFFFFF"}, 1, true, false}, {"enable", {asciiLower(shortId)}, 0, true, true},
      {"remove", {id}, 0, false, false},        {"remove", {id}, 1, false, false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.action) + " " + (s.words.empty() ? "" : s.words[0]));
    EXPECT_EQ(rig.run(s.action, s.words), s.status) << rig.err.str();
    rig.run("list", {}, {}, true);
    const auto list = nlohmann::json::parse(rig.out.str());
    ASSERT_EQ(list.size(), s.present ? 1u : 0u);
    if (!s.present) continue;
    EXPECT_EQ(list[0]["enabled"], s.enabled);
    EXPECT_EQ(list[0]["excludePatterns"], nlohmann::json::array({"*.tmp"}));
    EXPECT_EQ(list[0]["internalPath"], folder.string());
  }
  rig.run("list");
  EXPECT_EQ(rig.out.str(),
            "No folder is watched yet. Add one with: brimvale autosync add FOLDER DEST_PARENT\n");
}

// Given a settled file in a watched folder, then a scan with the drive away
// says so, fails, and leaves the file where it is with no move recorded.
TEST(AutoSyncCommand, ScanWithTheDriveAwayMovesNothing) {
  AutoSyncRig rig;
  BRIMVALE_REQUIRE_DRIVE(rig.drive);
  const fs::path file = rig.root.file("home/Inbox/report.pdf", "pdf");
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(1));
  ASSERT_EQ(rig.run("add", {file.parent_path().string(), (rig.working / "Inbox").string()}), 0);
  rig.drive.unmount();
  EXPECT_EQ(rig.run("scan", {rig.onlyId()}), 1);
  EXPECT_EQ(rig.out.str(),
            "Your fast drive isn't connected, so nothing was copied.\nYour files are untouched; "
            "connect the drive and scan again.\n");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
  std::error_code ec;
  EXPECT_TRUE(fs::is_empty(rig.paths.state / "folder-moves", ec) || ec);
}

}  // namespace
}  // namespace brimvale::app
