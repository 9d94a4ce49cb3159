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
    out.push_back({std::string(name), e->d_type, e->d_ino});
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

std::optional<std::vector<std::string>> selectNames(
    const std::filesystem::path& folder, const std::function<bool(const struct stat&)>& keep) {
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) return std::nullopt;
  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) {
      if (errno != 0) return std::nullopt;
      break;
    }
    if (!isDotOrDotDot(entry->d_name)) names.emplace_back(entry->d_name);
  }
  // A large folder is mostly lstat calls: share them out, keep the order.
  const int fd = dirfd(dir.get());
  std::vector<char> kept(names.size(), 0);
  auto examine = [&](std::size_t begin, std::size_t end) {
    struct stat info {};
    for (std::size_t i = begin; i < end; ++i) {
      kept[i] = fstatat(fd, names[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && keep(info);
    }
  };
  constexpr std::size_t kWorthAThread = 4096;
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned threads =
      names.size() < kWorthAThread || cores < 2 ? 1u : std::min(walkThreads(), cores);
  std::vector<std::thread> helpers;
  const std::size_t share = (names.size() + threads - 1) / threads;
  for (unsigned t = 1; t < threads; ++t) {
    helpers.emplace_back(examine, std::min(names.size(), t * share),
                         std::min(names.size(), (t + 1) * share));
  }
  examine(0, std::min(names.size(), share));
  for (auto& h : helpers) h.join();
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(std::count(kept.begin(), kept.end(), 1)));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (kept[i]) out.push_back(std::move(names[i]));
  }
  return out;
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
