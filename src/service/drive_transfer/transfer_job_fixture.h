// Tests only: a transfer job in a temporary home whose drives are two
// temporary folders, run against the fake platform, so its processes are
// the fake launcher's and nothing real is started or signalled.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "common/base/file_io.h"
#include "service/drive_transfer/transfer_processes.h"
#include "service/drive_transfer/transfer_store.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/fake_platform.h"

namespace brimvale::service {

class TransferJobFixture : public ::testing::Test {
 public:
  // What the fake supervisor runs: this program, as for the commands that
  // find it themselves.
  const std::string kServiceProgram = ownExecutable();
  // What the fake copy runs.
  static constexpr const char* kRsync = "/opt/brimvale/rsync";

  // Table-driven tests call TearDown and SetUp between cases: each starts
  // from an empty folder, a fresh fake platform and no output.
  void SetUp() override {
    state_ = platform::testing::FakeState{};
    out_.str("");
    paths_ = StatePaths::forHome(tmp_ / "home");
    std::filesystem::create_directories(paths_.state);
    platform_ = platform::testing::makeFakePlatform(state_);
    ctx_ = std::make_unique<ServiceContext>(
        paths_, platform_, [] { return std::time_t{0}; }, out_, out_);
    source_ = tmp_.folder("src");
    dest_ = tmp_.folder("dst");
    tmp_.folder(std::filesystem::path("src") / ctx_->workingFolderName());
    tmp_.folder(std::filesystem::path("dst") / ctx_->workingFolderName());
    state_.mountPoints = {source_.string(), dest_.string()};
  }

  void TearDown() override {
    ctx_.reset();
    for (const auto& entry : std::filesystem::directory_iterator(tmp_.path())) {
      std::filesystem::remove_all(entry.path());
    }
  }

  [[nodiscard]] TransferFiles files() const { return TransferFiles::in(paths_.state); }
  [[nodiscard]] TransferStore store() const { return TransferStore(files()); }

  // A job (holding the job lock) in `phase` after `resumes` restarts.
  void job(TransferPhase phase, int resumes = 0) {
    std::filesystem::create_directories(files().lock);
    ASSERT_TRUE(store().reset({{"kind", "transfer"},
                               {"phase", rawPhase(phase)},
                               {"sourceRoot", source_.string()},
                               {"destRoot", dest_.string()},
                               {"sourceWorking", (source_ / ctx_->workingFolderName()).string()},
                               {"destWorking", (dest_ / ctx_->workingFolderName()).string()},
                               {"rsyncBin", kRsync},
                               {"lastError", ""},
                               {"resumeCount", std::to_string(resumes)}}));
  }

  // Records `pid` in the pid file (transfer.pid or transfer-rsync.pid).
  void record(const std::filesystem::path& pidFile, int pid) {
    ASSERT_TRUE(writeFileAtomically(pidFile, std::to_string(pid) + "\n"));
  }

  [[nodiscard]] platform::testing::FakeProcesses& processes() { return state_.launches; }

  brimvale::testing::TempFolder tmp_{"bv-transfer"};
  StatePaths paths_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
  std::filesystem::path source_, dest_;
};

}  // namespace brimvale::service
