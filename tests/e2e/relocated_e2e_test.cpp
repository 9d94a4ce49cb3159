// Relocated folders end to end: `brimvale move` relocates a folder, `brimvale
// relocated` lists it, and `relocated move-back` brings it home.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "e2e_harness.h"
#include "mover/safety_checks.h"
#include "mover_scene.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;

class RelocatedE2E : public MoverScene {
 protected:
  RelocatedE2E() : MoverScene("Relocated-", "256m") {}
};

// A relocated folder is listed; refusals change nothing and say why (a usage
// mistake exits 2, and while another Brimvale holds the relocator lock a move
// back is refused); `relocated move-back` and `moves revert` bring it home.
TEST_F(RelocatedE2E, ListRefuseThenMoveBackOrRevertBringsTheFolderHome) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path src = home_.path() / "My Projects";
  writeAwkwardTree(src, 30, 4000, 5);
  const auto before = treeSums(src);
  auto moved = runApp(home_, {"move", src.string(), "--yes"});
  ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;

  auto listed = runApp(home_, {"relocated", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const auto doc = nlohmann::json::parse(listed.out);
  ASSERT_EQ(doc["items"].size(), 1u) << listed.out;
  const auto& item = doc["items"][0];
  EXPECT_EQ(item["integrity"], "ok");
  EXPECT_EQ(item["source"], src.string());
  EXPECT_EQ(item["copy"], relocated("My Projects").string());
  const std::string id = item["id"];

  const auto onDrive = treeSums(working());
  mover::RelocatorLock other(home_.state());
  ASSERT_TRUE(other.acquire(std::chrono::milliseconds(0)));
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"relocated", "move-back", id, "--yes"}, 1, "another relocate operation is in progress"},
      {{"relocated", "delete", "NOSUCHID"}, 1, "another relocate operation is in progress"},
      {{"relocated", "move-back", "--yes"}, 2, "Name the relocated folder by its id"},
      {{"relocated", "scan", "--json"}, 2, "--json goes with the list alone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1]);
    auto r = runApp(home_, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  other.release();
  auto refused = runApp(home_, {"relocated", "delete", id.substr(0, 8)});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("Delete is only available for broken relocations (orphaned, "
                             "missing, or empty)."),
            std::string::npos)
      << refused.err;
  // Without a terminal to ask on, nothing moves until --yes says so.
  auto asked = runApp(home_, {"relocated", "move-back", id.substr(0, 8)});
  EXPECT_EQ(asked.exitCode, 1);
  EXPECT_NE(asked.err.find("--yes"), std::string::npos) << asked.err;
  EXPECT_EQ(treeSums(working()), onDrive);
  EXPECT_TRUE(fs::is_symlink(src / "dir 0" / "file \"0\" é.bin"));

  auto back = runApp(home_, {"relocated", "move-back", id.substr(0, 8), "--yes"});
  ASSERT_EQ(back.exitCode, 0) << back.out << back.err;
  EXPECT_NE(back.out.find("is back on the internal disk"), std::string::npos) << back.out;
  EXPECT_EQ(back.out.find_first_of("\r\x1b"), std::string::npos) << back.out;
  EXPECT_EQ(treeSums(src), before);
  EXPECT_FALSE(fs::exists(relocated("My Projects")));

  // `moves revert` on a finished relocation is the same move back.
  const fs::path photos = home_.path() / "Old Photos";
  writeAwkwardTree(photos, 8, 3000, 3);
  const auto photosBefore = treeSums(photos);
  ASSERT_EQ(runApp(home_, {"move", photos.string(), "--yes"}).exitCode, 0);
  const std::string photosId =
      nlohmann::json::parse(runApp(home_, {"relocated", "--json"}).out)["items"][0]["id"];
  auto reverted = runApp(home_, {"moves", "revert", photosId.substr(0, 8)});
  ASSERT_EQ(reverted.exitCode, 0) << reverted.out << reverted.err;
  EXPECT_EQ(treeSums(photos), photosBefore);
  EXPECT_FALSE(fs::exists(relocated("Old Photos")));

  auto after = runApp(home_, {"relocated"});
  EXPECT_EQ(after.exitCode, 0);
  EXPECT_NE(after.out.find("No relocated folders."), std::string::npos) << after.out;
}

}  // namespace
}  // namespace brimvale::e2e
