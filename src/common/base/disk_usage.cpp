#include "common/base/disk_usage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "common/base/folder_walk.h"

namespace brimvale {
namespace {

using InodeKey = std::pair<dev_t, ino_t>;

std::int64_t nanosOf(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// One thread's share of a survey. Uses *at() calls on descriptors so names
// with any bytes (newlines included) and deep trees work without building
// long paths.
class SurveyWalker {
 public:
  std::uint64_t blocks = 0;                  // 512-byte units, hard-linked files excluded
  std::map<InodeKey, std::uint64_t> linked;  // hard-linked files, counted once when merged
  TreeSurvey survey;

  // Counts `name` inside the open folder `dirFd` (its path relative to the
  // root is `rel`), descending into folders.
  void visit(int dirFd, const char* name, std::string& rel) {
    struct stat st {};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    offerNewest(st, rel);
    if (!S_ISDIR(st.st_mode)) survey.apparentBytes += static_cast<std::uint64_t>(st.st_size);
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
      linked.emplace(InodeKey{st.st_dev, st.st_ino}, static_cast<std::uint64_t>(st.st_blocks));
      return;
    }
    blocks += static_cast<std::uint64_t>(st.st_blocks);
    if (!S_ISDIR(st.st_mode)) return;
    // The listing is read whole before any child is visited, so only one
    // descriptor per level stays open.
    const OpenFolder folder(dirFd, name);
    for (const auto& child : folder.entries().value_or(std::vector<FolderEntry>{})) {
      const std::size_t mark = rel.size();
      if (!rel.empty()) rel += '/';
      rel += child.name;
      visit(folder.fd(), child.name.c_str(), rel);
      rel.resize(mark);
    }
  }

  void offerNewest(const struct stat& st, const std::string& rel) {
    offerNewest(nanosOf(st), st.st_mtime, rel, survey);
  }

  // Keeps the newer of the two in `into`; on a tie the later path wins.
  static void offerNewest(std::int64_t ns, std::time_t seconds, const std::string& rel,
                          TreeSurvey& into) {
    if (ns > into.newestNanos || (ns == into.newestNanos && rel >= into.newestPath)) {
      into.newestNanos = ns;
      into.newestSeconds = seconds;
      into.newestPath = rel;
    }
  }
};

}  // namespace

std::optional<TreeSurvey> surveyTree(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  // The root and its children are shared out among the threads; each child's
  // subtree is walked whole by the thread that took it.
  const OpenFolder root(S_ISDIR(st.st_mode) ? path.string() : std::string());
  const std::vector<FolderEntry> children = root.entries().value_or(std::vector<FolderEntry>{});
  const unsigned threads =
      std::max(1u, std::min<unsigned>(walkThreads(), static_cast<unsigned>(children.size())));
  std::vector<SurveyWalker> walkers(threads);
  std::atomic<std::size_t> next{0};
  auto work = [&](SurveyWalker& walker) {
    std::string rel;
    for (std::size_t i; (i = next.fetch_add(1)) < children.size();) {
      rel = children[i].name;
      walker.visit(root.fd(), children[i].name.c_str(), rel);
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
      if (root.isOpen()) {
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, std::ref(walkers[t]));
        work(first);
        for (auto& t : pool) t.join();
      }
    }
  }
  TreeSurvey out = walkers.front().survey;
  std::uint64_t blocks = 0;
  std::map<InodeKey, std::uint64_t> linked;
  for (auto& w : walkers) {
    blocks += w.blocks;
    linked.merge(w.linked);
    if (&w == &walkers.front()) continue;
    out.apparentBytes += w.survey.apparentBytes;
    SurveyWalker::offerNewest(w.survey.newestNanos, w.survey.newestSeconds, w.survey.newestPath,
                              out);
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
