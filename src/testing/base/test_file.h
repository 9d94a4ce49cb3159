// A file written for a test, with the folders above it made first; a tree
// set back in time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace brimvale::testing {

inline void write(const std::filesystem::path& p, const std::string& content) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

// Moves the modification time of `root` and everything below it (links
// themselves, not what they point to) an hour back where it is more recent,
// keeping older ages, then waits out the file system's clock tick: clean-ups
// leave alone what was written or changed moments ago, as still in use.
inline void settle(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  const time_t hourAgo = time(nullptr) - 3600;
  const timespec then[2] = {{hourAgo, 0}, {hourAgo, 0}};
  auto settleOne = [&](const fs::path& p) {
    struct stat st {};
    if (lstat(p.c_str(), &st) == 0 && st.st_mtim.tv_sec > hourAgo)
      utimensat(AT_FDCWD, p.c_str(), then, AT_SYMLINK_NOFOLLOW);
  };
  std::error_code ec;
  if (!fs::is_symlink(root, ec)) {
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
      settleOne(it->path());
  }
  settleOne(root);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace brimvale::testing
