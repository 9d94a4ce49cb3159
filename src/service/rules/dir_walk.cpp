#include "service/rules/dir_walk.h"

#include <dirent.h>
#include <fcntl.h>

#include <cstring>
#include <memory>

namespace brimvale::service {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

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

}  // namespace brimvale::service
