#include "common/disk_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

namespace brimvale {
namespace {

using InodeKey = std::pair<dev_t, ino_t>;

class UsageWalker {
 public:
  std::uint64_t blocks = 0;  // 512-byte units

  // Counts the entry `name` inside the open directory `dirFd`, descending
  // into folders. Uses *at() calls on descriptors so names with any bytes
  // (newlines included) and deep trees work without building long paths.
  void visit(int dirFd, const char* name) {
    struct stat st{};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1 &&
        !seen_.insert({st.st_dev, st.st_ino}).second) {
      return;
    }
    blocks += static_cast<std::uint64_t>(st.st_blocks);
    if (!S_ISDIR(st.st_mode)) return;
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = fdopendir(fd);
    if (!dir) {
      close(fd);
      return;
    }
    std::vector<std::string> children;
    while (dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      children.emplace_back(e->d_name);
    }
    // Walk the children after reading the listing, so only one descriptor
    // per level stays open.
    for (const auto& child : children) visit(dirfd(dir), child.c_str());
    closedir(dir);
  }

 private:
  std::set<InodeKey> seen_;
};

}  // namespace

std::optional<std::uint64_t> diskUsageBytes(const std::filesystem::path& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  UsageWalker walker;
  walker.visit(AT_FDCWD, path.c_str());
  std::uint64_t kib = (walker.blocks * 512 + 1023) / 1024;
  return kib * 1024;
}

}  // namespace brimvale
