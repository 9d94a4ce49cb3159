#include "mover/switch_checks.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "mover/manifest.h"
#include "testing/base/temp_folder.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(TranslatedPath, ReplacesOnlyAWholeLeadingWorkingFolder) {
  const struct {
    const char* path;
    std::optional<fs::path> expected;
  } cases[] = {
      {"/V/Old/BRIM-A/Relocated/x", fs::path("/V/New/BRIM-A/Relocated/x")},
      {"/V/Old/BRIM-A", fs::path("/V/New/BRIM-A")},
      {"/V/Old/BRIM-A/a/../b", fs::path("/V/New/BRIM-A/b")},
      {"/V/Old/BRIM-A2/x", std::nullopt},
      {"/V/Old", std::nullopt},
      {"relative/BRIM-A", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(translatedPath(c.path, "/V/Old/BRIM-A", "/V/New/BRIM-A"), c.expected);
  }
}

// A home with move records and two working folders, the new one a copy.
class SwitchRecords : public ::testing::Test {
 public:
  void SetUp() override {
    paths_ = StatePaths::forHome(tmp_.folder("home"));
    route_ = {tmp_.folder("old/BRIM-A"), tmp_.folder("new/BRIM-A"), "NEW-UUID"};
    tmp_.file("new/BRIM-A/.hollin-managed", "marker_version=1\nvolume_uuid=NEW-UUID\n");
  }

  void folderMove(const std::string& id, MovePhase phase, const std::string& rel) {
    MoveManifest m;
    m.id = id;
    m.src = (paths_.home / rel).string();
    m.dstParent = (route_.oldWorking / "Relocated").string();
    m.finalDst = (route_.oldWorking / "Relocated" / rel).string();
    m.driveUUID = "OLD-UUID";
    m.phase = phase;
    fs::create_directories(paths_.state / "folder-moves");
    ASSERT_TRUE(
        writeFileAtomically(paths_.state / "folder-moves" / (id + ".json"), encodeManifest(m)));
  }

  void appMove(const std::string& id, const std::string& phase, const std::string& app,
               const std::string& outcome = "") {
    json record{{"id", id},
                {"originalPath", (paths_.home / "Applications" / app).string()},
                {"nvmePath", (route_.oldWorking / "Apps" / app).string()},
                {"phase", phase},
                {"tierAtMove", 2}};
    if (!outcome.empty()) record["statusMessage"] = outcome;
    fs::create_directories(paths_.state / "app-moves");
    ASSERT_TRUE(writeFileAtomically(paths_.state / "app-moves" / (id + ".json"), record.dump(2)));
  }

  brimvale::testing::TempFolder tmp_{"bv-switch"};
  StatePaths paths_;
  SwitchRoute route_;
};

TEST_F(SwitchRecords, CopyRefusalNamesTheFirstProblemFound) {
  const struct {
    const char* name;
    std::function<void(SwitchRecords&)> arrange;
    std::optional<std::string> refusal;
  } cases[] = {
      {"all copied",
       [](SwitchRecords& s) {
         s.folderMove("F1", MovePhase::kDone, "Projects");
         s.tmp_.folder("new/BRIM-A/Relocated/Projects");
         s.appMove("A1", "done", "Tool.app");
         s.tmp_.folder("new/BRIM-A/Apps/Tool.app");
         s.appMove("A2", "failed", "Gone.app");
       },
       std::nullopt},
      {"new folder missing", [](SwitchRecords& s) { fs::remove_all(s.route_.newWorking); },
       "the new drive's folder is missing"},
      {"no marker", [](SwitchRecords& s) { fs::remove(s.route_.newWorking / ".hollin-managed"); },
       "the new drive isn't set up"},
      {"marker of another drive",
       [](SwitchRecords& s) { s.tmp_.file("new/BRIM-A/.hollin-managed", "volume_uuid=OTHER\n"); },
       "the new drive doesn't match"},
      {"folder move copying",
       [](SwitchRecords& s) { s.folderMove("F1", MovePhase::kCopying, "P"); },
       "a move is still in progress"},
      {"folder move relinking",
       [](SwitchRecords& s) { s.folderMove("F1", MovePhase::kCleaningUp, "P"); },
       "a move is still in progress"},
      {"finished move not on the new drive",
       [](SwitchRecords& s) { s.folderMove("F1", MovePhase::kDone, "Projects"); },
       "something didn't copy across"},
      {"failed move not on the new drive is no reason",
       [](SwitchRecords& s) { s.folderMove("F1", MovePhase::kFailed, "Projects"); }, std::nullopt},
      {"app move linking", [](SwitchRecords& s) { s.appMove("A1", "linking", "Tool.app"); },
       "an app move is still in progress"},
      {"finished app not on the new drive",
       [](SwitchRecords& s) { s.appMove("A1", "done", "Tool.app"); }, "an app didn't copy across"},
      {"an app brought home has nothing to carry",
       [](SwitchRecords& s) {
         s.appMove("A1", "done", "Tool.app", "restored_by_user_at_2026-12-01T10-00-00Z");
       },
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_.path());
    SetUp();
    c.arrange(*this);
    EXPECT_EQ(copyRefusal(paths_, route_), c.refusal);
  }
}

TEST_F(SwitchRecords, TranslatesRecordsOnceAndKeepsWhatItDoesNotKnow) {
  folderMove("F1", MovePhase::kDone, "Projects");
  folderMove("F2", MovePhase::kFailed, "Videos");
  appMove("A1", "done", "Tool.app");

  RecordsTranslated first = translateRecords(paths_, route_);
  EXPECT_EQ(first.rewritten, 3);
  EXPECT_FALSE(first.failedRecord);
  auto f1 = decodeManifest(readFile(paths_.state / "folder-moves" / "F1.json").value());
  ASSERT_TRUE(f1);
  EXPECT_EQ(f1->finalDst, (route_.newWorking / "Relocated" / "Projects").string());
  EXPECT_EQ(f1->dstParent, (route_.newWorking / "Relocated").string());
  EXPECT_EQ(f1->src, (paths_.home / "Projects").string()) << "the original place stays";
  EXPECT_EQ(f1->driveUUID, "NEW-UUID");
  json a1 = json::parse(readFile(paths_.state / "app-moves" / "A1.json").value());
  EXPECT_EQ(a1["nvmePath"], (route_.newWorking / "Apps" / "Tool.app").string());
  EXPECT_EQ(a1["originalPath"], (paths_.home / "Applications" / "Tool.app").string());
  EXPECT_EQ(a1["driveUUID"], "NEW-UUID");
  EXPECT_EQ(a1["tierAtMove"], 2);

  EXPECT_EQ(translateRecords(paths_, route_).rewritten, 0) << "a second run finds nothing to do";
}

}  // namespace
}  // namespace brimvale::mover
