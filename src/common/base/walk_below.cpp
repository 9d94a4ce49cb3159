#include "common/base/walk_below.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <utility>

#include "common/base/folder_walk.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

struct Folder {
  fs::path path;
  int depth = 0;  // the root is 0
};

// Lexically normal, without a trailing separator, so "a/b/" names "a/b".
fs::path comparable(const fs::path& p) {
  fs::path n = p.lexically_normal();
  return n.has_filename() || !n.has_parent_path() ? n : n.parent_path();
}

struct Part {
  std::vector<fs::path> unreadable;
  bool timedOut = false;
};

// The listing of the open folder `fd`; nothing on a read error, left in errno.
std::optional<std::vector<FolderEntry>> listingOf(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return std::nullopt;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    const int error = errno;
    ::close(copy);
    errno = error;
    return std::nullopt;
  }
  std::vector<FolderEntry> out;
  int error = 0;
  while (true) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (!e) {
      error = errno;
      break;
    }
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    out.push_back({std::string(name), e->d_type});
  }
  ::closedir(dir);
  errno = error;
  if (error != 0) return std::nullopt;
  return out;
}

}  // namespace

WalkReport walkBelow(const fs::path& root, const WalkOptions& options, const WalkVisit& visit) {
  const unsigned threads = std::max(1u, options.threads);
  std::vector<Part> parts(threads);
  std::vector<fs::path> skip;
  for (const auto& s : options.skip) skip.push_back(comparable(s));
  std::atomic<bool> stop = false;
  std::mutex firstMutex;
  std::error_code firstError;
  std::mutex seenMutex;
  std::set<std::pair<dev_t, ino_t>> seen;  // folders entered, when links are followed
  const bool follow = options.links == FollowLinks::kYes;

  visitFolders<Folder>({{root, 0}}, threads, [&](Folder& folder, unsigned thread) {
    Part& part = parts[thread];
    std::vector<Folder> next;
    if (stop) return next;
    if (options.deadline && std::chrono::steady_clock::now() >= *options.deadline) {
      part.timedOut = true;
      return next;
    }
    auto unreadable = [&](const fs::path& path) {
      const std::error_code error(errno, std::generic_category());
      part.unreadable.push_back(path);
      {
        const std::lock_guard lock(firstMutex);
        if (!firstError) firstError = error;
      }
      if (options.onError == OnReadError::kStop) stop = true;
    };
    const int flags =
        O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow || folder.depth == 0 ? 0 : O_NOFOLLOW);
    const int fd = ::open(folder.path.c_str(), flags);
    if (fd < 0) {
      // Gone meanwhile, or a root that is no folder: nothing is there to miss.
      if (errno != ENOENT && !(folder.depth == 0 && errno == ENOTDIR)) unreadable(folder.path);
      return next;
    }
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    if (follow) {
      struct stat st {};
      if (::fstat(fd, &st) == 0) {
        const std::lock_guard lock(seenMutex);
        if (!seen.insert({st.st_dev, st.st_ino}).second) return next;
      }
    }
    const auto entries = listingOf(fd);
    if (!entries) {
      unreadable(folder.path);
      return next;
    }
    const int depth = folder.depth + 1;
    for (const auto& e : *entries) {
      if (stop) break;
      unsigned char type = e.type;
      struct stat st {};
      if (type == DT_UNKNOWN && ::fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = static_cast<unsigned char>(IFTODT(st.st_mode));
      bool folderHere = type == DT_DIR;
      if (follow && type == DT_LNK) {
        folderHere = ::fstatat(fd, e.name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      fs::path path = folder.path / e.name;
      const WalkStep step = visit({.path = path,
                                   .name = e.name,
                                   .depth = depth,
                                   .folderFd = fd,
                                   .type = type,
                                   .thread = thread});
      if (step == WalkStep::kUnreadable) {
        unreadable(path);
        continue;
      }
      if (step == WalkStep::kDoNotEnter || !folderHere) continue;
      if (options.maxDepth && depth >= *options.maxDepth) continue;
      if (!skip.empty() && std::find(skip.begin(), skip.end(), comparable(path)) != skip.end())
        continue;
      next.push_back({std::move(path), depth});
    }
    return next;
  });

  WalkReport result;
  for (auto& part : parts) {
    std::move(part.unreadable.begin(), part.unreadable.end(),
              std::back_inserter(result.unreadable));
    result.timedOut = result.timedOut || part.timedOut;
  }
  std::sort(result.unreadable.begin(), result.unreadable.end());
  result.firstError = firstError;
  result.stopped = stop;
  return result;
}

FoundLinks findLinksUnder(const fs::path& root, const WalkOptions& options) {
  std::vector<std::vector<FoundLink>> parts(std::max(1u, options.threads));
  FoundLinks found;
  found.walk = walkBelow(root, options, [&](const WalkEntry& e) {
    if (e.type != DT_LNK) return WalkStep::kContinue;
    std::string target(4096, '\0');
    const ssize_t n =
        ::readlinkat(e.folderFd, std::string(e.name).c_str(), target.data(), target.size());
    if (n < 0) return errno == ENOENT ? WalkStep::kContinue : WalkStep::kUnreadable;
    target.resize(static_cast<std::size_t>(n));
    parts[e.thread].push_back({e.path, std::move(target)});
    return WalkStep::kContinue;
  });
  for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(found.links));
  std::sort(found.links.begin(), found.links.end(),
            [](const FoundLink& a, const FoundLink& b) { return a.link < b.link; });
  return found;
}

}  // namespace brimvale
