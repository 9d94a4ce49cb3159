#include "mover_scene.h"

#include "common/base/file_io.h"

namespace brimvale::e2e {

MoverScene::MoverScene(const std::string& prefix, const std::string& size)
    : drive_(prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name(), size) {}

void MoverScene::SetUp() {
  std::filesystem::create_directories(home_.state());
  ASSERT_TRUE(writeFileAtomically(home_.state() / "status.json",
                                  "{\"nvme_path\":\"" + drive_.path().string() + "\"}"));
  ASSERT_TRUE(writeFileAtomically(home_.state() / "user-defaults.json",
                                  "{\"brimvale.mover.recentWriteGuardEnabled\": false}"));
}

std::filesystem::path MoverScene::working() const {
  return drive_.path() / thisWorkingFolderName();
}

std::filesystem::path MoverScene::relocated(const std::string& name) const {
  return working() / "Relocated" / name;
}

}  // namespace brimvale::e2e
