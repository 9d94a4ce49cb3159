#include "common/base/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace brimvale {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool isDotOrDotDot(std::string_view name) { return name == "." || name == ".."; }

}  // namespace

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
    if (isDotOrDotDot(name)) continue;
    out.push_back({std::string(name), e->d_type});
  }
  ::closedir(dir);
  if (failed) return std::nullopt;
  return out;
}

bool canListFolder(const std::filesystem::path& folder) {
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) return false;
  errno = 0;
  return readdir(dir.get()) != nullptr || errno == 0;
}

bool forEachEntry(const std::filesystem::path& folder,
                  const std::function<void(const DirEntry&)>& visit) {
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) return false;
  const int fd = dirfd(dir.get());
  DirEntry item;
  while (const dirent* entry = readdir(dir.get())) {
    if (isDotOrDotDot(entry->d_name)) continue;
    if (fstatat(fd, entry->d_name, &item.info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    item.path = folder / entry->d_name;
    visit(item);
  }
  return true;
}

std::optional<std::vector<DirEntry>> listEntries(const std::filesystem::path& folder) {
  std::vector<DirEntry> entries;
  if (!forEachEntry(folder, [&entries](const DirEntry& e) { entries.push_back(e); })) {
    return std::nullopt;
  }
  return entries;
}

std::vector<DirEntry> filesToDepthTwo(const std::filesystem::path& folder) {
  std::vector<DirEntry> files;
  auto top = listEntries(folder);
  if (!top) return files;
  for (auto& entry : *top) {
    if (entry.isRegular()) {
      files.push_back(std::move(entry));
    } else if (entry.isDirectory()) {
      if (auto inner = listEntries(entry.path)) {
        for (auto& child : *inner) {
          if (child.isRegular()) files.push_back(std::move(child));
        }
      }
    }
  }
  return files;
}

unsigned walkThreads() { return std::clamp(std::thread::hardware_concurrency(), 2u, 4u); }

}  // namespace brimvale
