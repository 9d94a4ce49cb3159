#include "service/drives/drive_choice.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;
using brimvale::testing::ErrorStream;

// Every entry below `root` but the logs and the snapshot, which any run may
// write, so a test can tell that nothing else was created or removed.
std::vector<std::string> entriesBelow(const fs::path& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("brim-vale.") || name == "status.json") continue;
    entries.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Given a configuration that names no drive, then each subcommand that acts on
// the drive says how to choose one, exits 1 and leaves every file as it was;
// those that only report or pick a drive still run.
TEST(DriveChoice, WithoutADriveTheDriveCommandsSayHowToChooseOne) {
  const std::string config = "# Brimvale configuration\nNVMe=\"\"\nRULES=()\n";
  struct Case {
    std::vector<std::string> args;
    bool refused;
  };
  const Case cases[] = {
      {{"move-dir", "Projects"}, true},
      {{"rollback", "--yes"}, true},
      {{"relocate-now"}, true},
      {{"eject-nvme"}, true},
      {{"backup-self"}, true},
      {{"transfer-start", "backup", "/nowhere", "yes"}, true},
      {{"status"}, false},
      {{"list-drives"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    ContextInTempHome env(config, ErrorStream::kOwn);
    fs::create_directories(env.home() / "Projects");
    ServiceContext& ctx = env.load();
    ASSERT_FALSE(ctx.cfg().hasDrive());
    const auto before = entriesBelow(env.root());
    const int code = runService(ctx, c.args);
    if (!c.refused) {
      EXPECT_NE(env.err().str(), std::string(noDriveChosenMessage()) + "\n");
      continue;
    }
    EXPECT_EQ(code, 1);
    EXPECT_EQ(env.err().str(), std::string(noDriveChosenMessage()) + "\n");
    EXPECT_EQ(env.out().str(), "");
    EXPECT_EQ(entriesBelow(env.root()), before);
    EXPECT_EQ(readFile(env.paths().config).value_or(""), config);
  }
}

}  // namespace
}  // namespace brimvale::service
