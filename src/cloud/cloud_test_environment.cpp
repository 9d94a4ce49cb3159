// Tests only: every rclone this test program starts, directly or through
// the code under test, reads and writes a configuration and cache in a
// private temporary folder, never the machine's own.
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

}  // namespace
