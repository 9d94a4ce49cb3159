#include "app/core/autosync_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "platform/user_defaults.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

// A temporary home whose status names a tmpfs drive with this computer's
// working folder on it; the command's output and log lines are kept.
struct AutoSyncRig {
  brimvale::testing::TempFolder root{"bv-autosync-cmd"};
  StatePaths paths = StatePaths::forHome(root / "home");
  platform::AppPlatform host;
  std::ostringstream out, err;
  std::istringstream in;
  MoverCommandContext mc{paths, host, nullptr, "Test Box", out, err, in};
  std::vector<std::string> logged;
  AutoSyncCommandContext c{.mover = mc,
                           .log = [this](const std::string& line) { logged.push_back(line); }};
  brimvale::testing::TmpfsMount drive{root / "Drive", "16m"};
  fs::path working = workingFolderFor(root / "Drive", "Test Box");

  AutoSyncRig() {
    mc.run = runProcess;
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
      {"inside documents", "Documents/Invoices", "{working}/Invoices", 0, "Watching ", ""},
      {"home itself", "", "{working}/Home", 1, "Brimvale won't watch",
       "AutoSyncManager: refusing to register policy for unsafe path "},
      {"destination on the drive but outside the working folder", "Documents/Invoices",
       "{drive}/Loose", 1, "because it is not on your fast drive",
       "AutoSyncManager: refusing to register policy with non-NVMe destination "},
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

// Given a watched folder, then `edit` changes where new files go and what is
// left out, keeping its id and totals, or refuses and leaves it as it was.
TEST(AutoSyncCommand, EditChecksTheNewDestinationAndKeepsTheRest) {
  struct Case {
    const char* name;
    const char* destination;  // under the working folder; "{home}" for the home
    std::vector<std::string> excludes;
    int status;
  };
  const Case cases[] = {
      {"new destination and names left out", "Sorted", {"*.part", "*.tmp"}, 0},
      {"names left out cleared", "Invoices", {}, 0},
      {"destination off the drive", "{home}", {"*.part"}, 1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    AutoSyncRig rig;
    BRIMVALE_REQUIRE_DRIVE(rig.drive);
    const fs::path folder = rig.paths.home / "Documents/Invoices";
    fs::create_directories(folder);
    ASSERT_EQ(rig.run("add", {folder.string(), (rig.working / "Invoices").string()}, {"*.bak"}), 0);
    const std::string id = rig.onlyId();
    const std::string dest = std::string(k.destination) == "{home}"
                                 ? (rig.paths.home / "Elsewhere").string()
                                 : (rig.working / k.destination).string();
    EXPECT_EQ(rig.run("edit", {id.substr(0, 8), dest}, k.excludes), k.status) << rig.err.str();
    rig.run("list", {}, {}, true);
    const auto stored = nlohmann::json::parse(rig.out.str())[0];
    EXPECT_EQ(stored["id"], id);
    EXPECT_EQ(stored["internalPath"], folder.string());
    EXPECT_EQ(stored["nvmeDestParent"], k.status == 0 ? dest : (rig.working / "Invoices").string());
    EXPECT_EQ(stored["excludePatterns"].get<std::vector<std::string>>(),
              k.status == 0 ? k.excludes : std::vector<std::string>{"*.bak"});
  }
}

}  // namespace
}  // namespace brimvale::app
