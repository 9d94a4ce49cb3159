// Tests only: every rclone this test program starts, directly or through
// the code under test, reads and writes a configuration and cache in a
// private temporary folder, never the machine's own; each test starts with
// an empty configuration of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

struct PrivateRcloneFiles {
  std::filesystem::path folder;
  PrivateRcloneFiles() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bv-rclone-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    folder = pattern;
    setenv("RCLONE_CONFIG", (folder / "rclone.conf").c_str(), 1);
    setenv("RCLONE_CACHE_DIR", (folder / "cache").c_str(), 1);
    setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
    setenv("HOME", folder.c_str(), 1);
  }
  ~PrivateRcloneFiles() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

const PrivateRcloneFiles kPrivateFiles;

class FreshConfigPerTest : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    const auto file = kPrivateFiles.folder / ("rclone-" + std::to_string(++count_) + ".conf");
    setenv("RCLONE_CONFIG", file.c_str(), 1);
  }
  int count_ = 0;
};

const bool kListening = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshConfigPerTest);
  return true;
}();

}  // namespace
