#include "transfer_scene.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "common/base/timestamps.h"
#include "platform/platform.h"
#include "service/drive_transfer/transfer_job.h"

namespace brimvale::e2e {
namespace fs = std::filesystem;
using nlohmann::json;

std::string testTag() {
  return std::to_string(getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

fs::path prepareTransferSource(const TempHome& home, const TmpfsDrive& drive, int files,
                               unsigned seed) {
  const fs::path source = drive.path() / thisWorkingFolderName();
  fs::create_directories(source / "Media" / "Movies");
  std::ofstream(source / ".hollin-managed") << "marker_version=1\nvolume_uuid=unknown\n";
  std::mt19937 random(seed);
  std::string block(1 << 20, '\0');
  for (int i = 0; i < files; ++i) {
    for (char& c : block) c = static_cast<char>(random());
    std::ofstream(source / "Media" / "Movies" / ("clip " + std::to_string(i) + ".mov")) << block;
  }
  home.writeConfig("NVMe=\"" + drive.path().string() + "\"\n");
  return source;
}

json transferStatus(const TempHome& home) {
  ProcessResult r = runBrimVale(home, {"transfer-status"});
  EXPECT_TRUE(r.succeeded()) << r.describe();
  return json::parse(r.out);
}

json waitForTransferPhase(const TempHome& home, const std::string& phase, int seconds) {
  json last;
  for (int i = 0; i < seconds * 20; ++i) {
    last = transferStatus(home);
    if (last["phase"] == phase) return last;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "phase never became " << phase << "; last status " << last.dump();
  return last;
}

void transferWatchTick(const TempHome& home) {
  const char* oldHome = std::getenv("HOME");
  std::string saved = oldHome ? oldHome : "";
  setenv("HOME", home.path().c_str(), 1);
  platform::Platform host = platform::makeHostPlatform();
  std::ostringstream out;
  service::ServiceContext ctx(StatePaths::forHome(home.path()), host, systemClock(), out, out);
  service::transferTick(ctx, BRIM_VALE_PATH);
  setenv("HOME", saved.c_str(), 1);
}

}  // namespace brimvale::e2e
