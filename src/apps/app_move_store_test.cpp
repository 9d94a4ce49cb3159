#include "apps/app_move_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "common/base/file_io.h"
#include "common/state/paths.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using nlohmann::json;

constexpr std::time_t kNow = 1'780'000'000;

std::string idFor(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

AppMoveManifest sample(int n, AppMovePhase phase, std::string originalPath = {}) {
  AppMoveManifest m;
  m.id = idFor(n);
  m.originalPath = originalPath.empty() ? "/Applications/App" + std::to_string(n) + ".app"
                                        : std::move(originalPath);
  m.nvmePath = "/Volumes/Fast/BRIM-Mac/Apps/" + fs::path(m.originalPath).filename().string();
  m.displayName = "App " + std::to_string(n);
  m.startedAt = m.updatedAt = kNow - 1000 + n;
  m.phase = phase;
  return m;
}

class AppManifestStoreTest : public ::testing::Test {
 protected:
  fs::path folder() const { return StatePaths::forHome(home_.path()).appMovesFolder; }
  AppManifestStore store() {
    return AppManifestStore(
        folder(), [this](const std::string& line) { logged_.push_back(line); },
        [] { return kNow; });
  }
  void writeRaw(const std::string& name, const std::string& text) {
    fs::create_directories(folder());
    ASSERT_TRUE(writeFileAtomically(folder() / name, text));
  }
  json onDisk(const std::string& id) {
    return json::parse(readFile(folder() / (id + ".json")).value_or("null"));
  }

  TempFolder home_;
  std::vector<std::string> logged_;
};

TEST_F(AppManifestStoreTest, UnreadableFilesAreSkippedReportedAndLeftInPlace) {
  AppMoveManifest good = sample(5, AppMovePhase::kDone);
  store().save(good);
  json noOriginal = json::parse(encodeAppMoveManifest(sample(2, AppMovePhase::kDone)));
  noOriginal.erase("originalPath");
  const std::string whole = encodeAppMoveManifest(sample(3, AppMovePhase::kDone));
  struct Row {
    std::string name;
    std::string text;
    std::string reason;
  };
  const std::vector<Row> bad{
      {idFor(2) + ".json", noOriginal.dump(2), "missing required key originalPath"},
      {idFor(3) + ".json", whole.substr(0, whole.size() - 20), "not a JSON object"},
      {idFor(4) + ".json", "", "not a JSON object"},
  };
  for (const auto& row : bad) writeRaw(row.name, row.text);
  writeRaw("notes.txt", "not a record");
  writeRaw(idFor(6) + ".json.tmp.4242", whole);  // a writer killed mid-write

  const auto all = store().loadAll();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], good);
  ASSERT_EQ(logged_.size(), bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(bad[i].name);
    EXPECT_EQ(logged_[i], "Brimvale: skipped app-move manifest " +
                              (folder() / bad[i].name).string() + ": " + bad[i].reason);
    EXPECT_EQ(readFile(folder() / bad[i].name).value(), bad[i].text);
  }
}

TEST_F(AppManifestStoreTest, TwoWritersAtOnceNeverLeaveATornFile) {
  AppMoveManifest seed = sample(1, AppMovePhase::kCopying);
  store().save(seed);
  std::atomic<bool> writing{true};
  std::atomic<int> unreadable{0};
  std::thread reader([&] {
    while (writing) {
      auto text = readFile(folder() / (seed.id + ".json"));
      if (!text || !decodeAppMoveManifest(*text)) ++unreadable;
    }
  });
  auto writer = [&](int which) {
    AppManifestStore own = store();
    AppMoveManifest m = seed;
    for (int i = 0; i < 150; ++i) {
      // Texts of different lengths, so a mixed or cut file shows.
      m.statusMessage = std::string(static_cast<std::size_t>(which * 4000 + i), 'a' + which);
      own.save(m);
    }
  };
  std::thread first(writer, 0);
  std::thread second(writer, 1);
  first.join();
  second.join();
  writing = false;
  reader.join();
  EXPECT_EQ(unreadable, 0);
  EXPECT_TRUE(logged_.empty()) << logged_.front();
  ASSERT_EQ(store().loadAll().size(), 1u);
}

}  // namespace
}  // namespace brimvale::apps
