#include "mover/manifest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/base/file_io.h"
#include "mover/mover_log.h"
#include "mover/verification.h"
#include "testing/base/raw_name_checks.h"
#include "testing/base/temp_folder.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

using brimvale::testing::TempFolder;

MoveManifest sample(std::string id, std::time_t started, MovePhase phase) {
  MoveManifest m;
  m.id = std::move(id);
  m.src = "/Users/me/Big Folder";
  m.dstParent = "/Volumes/NVMe/BRIM-Mac/Relocated";
  m.finalDst = m.dstParent + "/Big Folder";
  m.startedAt = m.updatedAt = started;
  m.phase = phase;
  return m;
}

TEST(MoveManifest, UnknownPhaseOrMissingRequiredKeyIsUndecodable) {
  for (
      const char* text :
      {R"({"id":"A","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"2026-03-01T09:15:00Z","updatedAt":"2026-03-01T09:15:00Z","phase":"teleporting"})",
       R"({"id":"A","src":"/a","dstParent":"/d","finalDst":"/d/a","updatedAt":"2026-03-01T09:15:00Z","phase":"done"})",
       R"({"id":"A","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"yesterday","updatedAt":"2026-03-01T09:15:00Z","phase":"done"})",
       // Ids that would name a file outside the records' folder.
       R"({"id":"..\/..\/Documents\/notes","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"2026-03-01T09:15:00Z","updatedAt":"2026-03-01T09:15:00Z","phase":"done"})",
       R"({"id":"..","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"2026-03-01T09:15:00Z","updatedAt":"2026-03-01T09:15:00Z","phase":"done"})",
       R"({"id":"","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"2026-03-01T09:15:00Z","updatedAt":"2026-03-01T09:15:00Z","phase":"done"})",
       "{not json"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(decodeManifest(text));
  }
}

// Given an owner written by hand or by an older build, then a record whose
// owner cannot be read keeps its job and only loses the owner.
TEST(MoveManifest, OwnerRoundTripsAndAnUnreadableOneIsDropped) {
  MoveManifest m = sample("ID", 1772356500, MovePhase::kCopying);
  m.owner = MoveOwner{4242, "987654"};
  const std::string encoded = encodeManifest(m);
  EXPECT_EQ(decodeManifest(encoded), m);
  EXPECT_NE(encoded.find(R"("src": "\/Users\/me\/Big Folder")"), std::string::npos) << encoded;
  const std::string head =
      R"({"id":"A","src":"/a","dstParent":"/d","finalDst":"/d/a","startedAt":"2026-03-01T09:15:00Z","updatedAt":"2026-03-01T09:15:00Z","phase":"copying")";
  struct Case {
    const char* name;
    std::string keys;
    std::optional<MoveOwner> owner;
  } cases[] = {
      {"both keys", R"(,"ownerPid":17,"ownerStart":"55")", MoveOwner{17, "55"}},
      {"no start", R"(,"ownerPid":17)", std::nullopt},
      {"pid 0", R"(,"ownerPid":0,"ownerStart":"55")", std::nullopt},
      {"pid too large", R"(,"ownerPid":99999999999,"ownerStart":"55")", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decodeManifest(head + c.keys + "}");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->owner, c.owner);
  }
}

TEST(ManifestStore, AllSkipsUndecodableFilesAndListsNewestFirst) {
  TempFolder dir;
  ManifestStore store(dir.path(), {}, [] { return std::time_t{1772356500}; });
  store.save(sample("OLD", 100, MovePhase::kDone));
  store.save(sample("NEW", 300, MovePhase::kCopying));
  store.save(sample("MID", 200, MovePhase::kFailed));
  { std::ofstream(store.folder() / "broken.json") << "{\"id\":"; }
  { std::ofstream(store.folder() / "notes.txt") << "hello"; }
  auto all = store.all();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].id, "NEW");
  EXPECT_EQ(all[2].id, "OLD");
  EXPECT_EQ(all[0].updatedAt, 1772356500);  // save stamps the time of writing
  EXPECT_TRUE(fs::exists(store.folder() / "broken.json"));
  store.remove("MID");
  store.remove("MISSING");
  EXPECT_EQ(store.all().size(), 2u);
}

// Given the configured drive, then its UUID is the snapshot's only when the
// snapshot was measured there, else the marker file's on that drive.
TEST(CurrentDriveUUID, PrefersSnapshotKeysMeasuredAtTheConfiguredDriveThenTheMarkerFile) {
  TempFolder dir;
  StatePaths paths = StatePaths::forHome(dir.path());
  fs::create_directories(paths.state);
  const fs::path mount = dir.path() / "vol";
  fs::create_directories(workingFolderFor(mount, "Mac"));
  {
    std::ofstream(workingFolderFor(mount, "Mac") / kMarkerFileName)
        << "created=1\nvolume_uuid=FROM-MARKER\n";
  }
  const std::string here = R"({"nvme_path":")" + mount.string() + R"(",)";
  const std::string named = "NVMe=\"" + mount.string() + "\"\n";
  struct Case {
    std::string config;
    std::string status;
    std::optional<std::string> expected;
  } cases[] = {
      {named, here + R"("nvme_uuid":"N","volume_uuid":"V"})", "N"},
      {named, here + R"("nvme_uuid":"","volume_uuid":"V"})", "V"},
      {named, here + R"("nvme_free_gb":1})", "FROM-MARKER"},
      {named, R"({"nvme_path":"/nowhere","nvme_uuid":"STALE"})", "FROM-MARKER"},
      {named, "garbage", "FROM-MARKER"},
      {"NVMe=\"\"\n", here + R"("nvme_uuid":"N"})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config + c.status);
    ASSERT_TRUE(writeFileAtomically(paths.config, c.config));
    ASSERT_TRUE(writeFileAtomically(paths.statusJson, c.status));
    EXPECT_EQ(currentDriveUUID(paths, "Mac"), c.expected);
  }
}

}  // namespace
}  // namespace brimvale::mover
