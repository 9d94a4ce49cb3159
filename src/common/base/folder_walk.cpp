#include "common/base/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace brimvale {

OpenFolder::OpenFolder(const std::string& path) : OpenFolder(AT_FDCWD, path) {}

OpenFolder::OpenFolder(int parentFd, const std::string& name)
    : fd_(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}

OpenFolder::~OpenFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::vector<FolderEntry>> OpenFolder::entries() const {
  if (fd_ < 0) return std::nullopt;
  // fdopendir takes the descriptor over; give it a copy so ours stays usable.
  const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::nullopt;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return std::nullopt;
  }
  ::rewinddir(dir);  // the copy shares the read position with every earlier listing
  std::vector<FolderEntry> out;
  bool failed = false;
  while (true) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (!e) {
      failed = errno != 0;
      break;
    }
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    out.push_back({std::string(name), e->d_type});
  }
  ::closedir(dir);
  if (failed) return std::nullopt;
  return out;
}

unsigned walkThreads() { return std::clamp(std::thread::hardware_concurrency(), 2u, 4u); }

}  // namespace brimvale
