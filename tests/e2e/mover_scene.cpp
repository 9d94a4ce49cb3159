#include "mover_scene.h"

#include "common/base/file_io.h"

namespace brimvale::e2e {

void prepareMoverHome(const TempHome& home, const std::filesystem::path& drive,
                      const std::string& verificationLevel) {
  std::filesystem::create_directories(home.state());
  home.writeConfig("NVMe=\"" + drive.string() + "\"\n");
  const std::string level =
      verificationLevel.empty()
          ? ""
          : ", \"brimvale.mover.verificationLevel\": \"" + verificationLevel + "\"";
  ASSERT_TRUE(
      writeFileAtomically(home.state() / "user-defaults.json",
                          "{\"brimvale.mover.recentWriteGuardEnabled\": false" + level + "}"));
}

nlohmann::json moveRecords(const TempHome& home) {
  nlohmann::json all = nlohmann::json::array();
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(home.state() / "folder-moves", ec)) {
    if (e.path().extension() != ".json") continue;
    auto j = nlohmann::json::parse(readFile(e.path()).value_or(""), nullptr, false);
    if (j.is_object()) all.push_back(j);
  }
  return all;
}

nlohmann::json onlyMoveRecord(const TempHome& home) {
  const nlohmann::json all = moveRecords(home);
  return all.size() == 1 ? all[0] : nlohmann::json();
}

MoverScene::MoverScene(const std::string& prefix, const std::string& size)
    : drive_(prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name(), size) {}

void MoverScene::SetUp() { prepareMoverHome(home_, drive_.path()); }

std::filesystem::path MoverScene::working() const {
  return drive_.path() / thisWorkingFolderName();
}

std::filesystem::path MoverScene::relocated(const std::string& name) const {
  return working() / "Relocated" / name;
}

}  // namespace brimvale::e2e
