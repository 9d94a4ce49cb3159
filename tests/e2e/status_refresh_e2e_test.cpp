// brimvale status against the real service in a temporary home: a snapshot
// older than one watch tick is replaced by a fresh one before it is shown,
// and the command says so; a fresh one is shown as it is.
#include <gtest/gtest.h>

#include <chrono>

#include "background_app.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

TEST(StatusRefreshE2E, AStaleSnapshotIsRefreshedAndTheCommandSaysSo) {
  struct Case {
    const char* name;
    std::chrono::minutes age;
    bool serviceThere;
    std::string says;  // empty: no sentence about the snapshot
    bool rewritten;
  } cases[] = {
      {"fresh", std::chrono::minutes(0), true, "", false},
      {"an hour old", std::chrono::minutes(60), true,
       "The status snapshot was written 1h ago, so Brimvale asked the service for a fresh one.\n",
       true},
      {"an hour old, no service", std::chrono::minutes(60), false,
       "The status snapshot was written 1h ago and the service didn't answer, so what follows "
       "may be out of date. Check the service with `brimvale self-check`.\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    home.writeConfig("NVMe=\"" + (home.path() / "no-drive").string() + "\"\n");
    const fs::path service = home.state().parent_path() / "brim-vale";
    fs::create_symlink(BRIM_VALE_PATH, service);
    ASSERT_EQ(runBrimVale(home, {"json"}).exitCode, 0);
    const fs::path snapshot = home.state() / "status.json";
    const auto backdated = fs::file_time_type::clock::now() - c.age;
    fs::last_write_time(snapshot, backdated);
    if (!c.serviceThere) fs::remove(service);

    const ProcessResult status = runApp(home, {"status"});
    EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
    const auto firstLineEnd = status.out.find('\n');
    ASSERT_NE(firstLineEnd, std::string::npos) << status.out;
    EXPECT_TRUE(status.out.starts_with("Background service: ")) << status.out;
    EXPECT_EQ(status.out.find("status snapshot") != std::string::npos, !c.says.empty())
        << status.out;
    if (!c.says.empty()) {
      EXPECT_EQ(status.out.substr(firstLineEnd + 1, c.says.size()), c.says) << status.out;
    }
    EXPECT_EQ(fs::last_write_time(snapshot) != backdated, c.rewritten);
  }
}

}  // namespace
}  // namespace brimvale::e2e
