#include "common/disk_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace brimvale {
namespace {

using InodeKey = std::pair<dev_t, ino_t>;

std::int64_t nanosOf(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

int openFolderAt(int dirFd, const char* name) {
  return openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Names in the open folder `fd`, read whole before any child is visited so
// only one descriptor per level stays open.
std::vector<std::string> childrenOf(int fd) {
  std::vector<std::string> children;
  const int copy = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);  // closedir closes its own
  if (copy < 0) return children;
  DIR* dir = fdopendir(copy);
  if (!dir) {
    close(copy);
    return children;
  }
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    children.emplace_back(e->d_name);
  }
  closedir(dir);
  return children;
}

// One thread's share of a survey. Uses *at() calls on descriptors so names
// with any bytes (newlines included) and deep trees work without building
// long paths.
class SurveyWalker {
 public:
  std::uint64_t blocks = 0;  // 512-byte units, hard-linked files excluded
  std::map<InodeKey, std::uint64_t> linked;  // hard-linked files, counted once when merged
  TreeSurvey survey;

  // Counts `name` inside the open folder `dirFd` (its path relative to the
  // root is `rel`), descending into folders.
  void visit(int dirFd, const char* name, std::string& rel) {
    struct stat st{};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    offerNewest(st, rel);
    if (!S_ISDIR(st.st_mode)) survey.apparentBytes += static_cast<std::uint64_t>(st.st_size);
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
      linked.emplace(InodeKey{st.st_dev, st.st_ino}, static_cast<std::uint64_t>(st.st_blocks));
      return;
    }
    blocks += static_cast<std::uint64_t>(st.st_blocks);
    if (!S_ISDIR(st.st_mode)) return;
    const int fd = openFolderAt(dirFd, name);
    if (fd < 0) return;
    const std::vector<std::string> children = childrenOf(fd);
    for (const auto& child : children) {
      const std::size_t mark = rel.size();
      if (!rel.empty()) rel += '/';
      rel += child;
      visit(fd, child.c_str(), rel);
      rel.resize(mark);
    }
    close(fd);
  }

  void offerNewest(const struct stat& st, const std::string& rel) {
    const std::int64_t ns = nanosOf(st);
    if (ns > survey.newestNanos || (ns == survey.newestNanos && rel >= survey.newestPath)) {
      survey.newestNanos = ns;
      survey.newestSeconds = st.st_mtime;
      survey.newestPath = rel;
    }
  }
};

}  // namespace

std::optional<TreeSurvey> surveyTree(const std::filesystem::path& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  // The root and its children are shared out among the threads; each child's
  // subtree is walked whole by the thread that took it.
  const int rootFd = S_ISDIR(st.st_mode) ? openFolderAt(AT_FDCWD, path.c_str()) : -1;
  const std::vector<std::string> children = childrenOf(rootFd);
  const unsigned threads = std::clamp(std::min<unsigned>(std::thread::hardware_concurrency(),
                                                         static_cast<unsigned>(children.size())),
                                      1u, 4u);
  std::vector<SurveyWalker> walkers(threads);
  std::atomic<std::size_t> next{0};
  auto work = [&](SurveyWalker& walker) {
    std::string rel;
    for (std::size_t i; (i = next.fetch_add(1)) < children.size();) {
      rel = children[i];
      walker.visit(rootFd, children[i].c_str(), rel);
    }
  };
  {
    std::string rel;
    SurveyWalker& first = walkers.front();
    // The root itself: its own blocks and time, but not its children again.
    first.offerNewest(st, rel);
    if (!S_ISDIR(st.st_mode)) {
      first.visit(AT_FDCWD, path.c_str(), rel);
    } else {
      first.blocks += static_cast<std::uint64_t>(st.st_blocks);
      if (rootFd >= 0) {
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, std::ref(walkers[t]));
        work(first);
        for (auto& t : pool) t.join();
      }
    }
  }
  if (rootFd >= 0) close(rootFd);
  TreeSurvey out = walkers.front().survey;
  std::uint64_t blocks = 0;
  std::map<InodeKey, std::uint64_t> linked;
  for (auto& w : walkers) {
    blocks += w.blocks;
    linked.merge(w.linked);
    if (&w == &walkers.front()) continue;
    out.apparentBytes += w.survey.apparentBytes;
    const auto& s = w.survey;
    if (s.newestNanos > out.newestNanos || (s.newestNanos == out.newestNanos && s.newestPath >= out.newestPath)) {
      out.newestNanos = s.newestNanos;
      out.newestSeconds = s.newestSeconds;
      out.newestPath = s.newestPath;
    }
  }
  for (const auto& [_, b] : linked) blocks += b;
  out.allocatedBytes = (blocks * 512 + 1023) / 1024 * 1024;
  return out;
}

std::optional<std::uint64_t> diskUsageBytes(const std::filesystem::path& path) {
  auto survey = surveyTree(path);
  if (!survey) return std::nullopt;
  return survey->allocatedBytes;
}

}  // namespace brimvale
