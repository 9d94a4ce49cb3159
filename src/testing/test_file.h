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

// Sets the modification time of `root` and everything below it (links
// themselves, not what they point to) an hour back, then waits out the file
// system's clock tick: clean-ups leave alone what was written or changed
// moments ago, as still in use.
inline void settle(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  const timespec then[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  std::error_code ec;
  if (!fs::is_symlink(root, ec)) {
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
      utimensat(AT_FDCWD, it->path().c_str(), then, AT_SYMLINK_NOFOLLOW);
  }
  utimensat(AT_FDCWD, root.c_str(), then, AT_SYMLINK_NOFOLLOW);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace brimvale::testing
