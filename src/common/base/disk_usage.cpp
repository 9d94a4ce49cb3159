#include "common/base/disk_usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "common/base/folder_walk.h"
#include "common/base/tree_walk.h"

namespace brimvale {
namespace {

// A file with more than one link: its blocks count once however many of its
// names the walk meets.
struct LinkedFile {
  dev_t dev;
  ino_t ino;
  std::uint64_t blocks;
};

std::int64_t nanosOf(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// One thread's share of a survey.
struct SurveyPart {
  std::uint64_t blocks = 0;  // 512-byte units, hard-linked files excluded
  std::vector<LinkedFile> linked;
  TreeSurvey survey;
  std::string rel;  // scratch for the path of an entry that may be the newest

  void count(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) survey.apparentBytes += static_cast<std::uint64_t>(st.st_size);
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
      linked.push_back({st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_blocks)});
    } else {
      blocks += static_cast<std::uint64_t>(st.st_blocks);
    }
  }

  // Entries older than the newest so far never need their path built.
  void offerNewest(const struct stat& st, std::string_view folder, std::string_view name) {
    const std::int64_t ns = nanosOf(st);
    if (ns < survey.newestNanos) return;
    rel.assign(folder);
    if (!rel.empty()) rel += '/';
    rel += name;
    offerNewest(ns, st.st_mtime, rel, survey);
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
  return surveyTree(path, {});
}

std::optional<TreeSurvey> surveyTree(const std::filesystem::path& path,
                                     const TreeVisit& alsoVisit) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  const unsigned threads = S_ISDIR(st.st_mode) ? walkThreads() : 1;
  std::vector<SurveyPart> parts(threads);
  // The root itself: its own blocks and time; its entries are walked below.
  parts.front().count(st);
  SurveyPart::offerNewest(nanosOf(st), st.st_mtime, std::string(), parts.front().survey);
  bool complete = true;
  if (S_ISDIR(st.st_mode)) {
    const OpenFolder root(path.string());
    complete = root.isOpen();
    if (root.isOpen()) {
      complete = walkTree(root.fd(), threads,
                          [&parts, &alsoVisit](unsigned thread, std::string_view folder,
                                               std::string_view name, const struct stat& info) {
                            SurveyPart& part = parts[thread];
                            part.count(info);
                            part.offerNewest(info, folder, name);
                            if (alsoVisit) alsoVisit(thread, folder, name, info);
                          });
    }
  }
  TreeSurvey out = parts.front().survey;
  out.complete = complete;
  std::uint64_t blocks = 0;
  std::vector<LinkedFile> linked;
  for (auto& part : parts) {
    blocks += part.blocks;
    linked.insert(linked.end(), part.linked.begin(), part.linked.end());
    if (&part == &parts.front()) continue;
    out.apparentBytes += part.survey.apparentBytes;
    SurveyPart::offerNewest(part.survey.newestNanos, part.survey.newestSeconds,
                            part.survey.newestPath, out);
  }
  std::sort(linked.begin(), linked.end(), [](const LinkedFile& a, const LinkedFile& b) {
    return std::tie(a.dev, a.ino) < std::tie(b.dev, b.ino);
  });
  linked.erase(std::unique(linked.begin(), linked.end(),
                           [](const LinkedFile& a, const LinkedFile& b) {
                             return a.dev == b.dev && a.ino == b.ino;
                           }),
               linked.end());
  for (const auto& file : linked) blocks += file.blocks;
  out.allocatedBytes = (blocks * 512 + 1023) / 1024 * 1024;
  return out;
}

std::optional<std::uint64_t> diskUsageBytes(const std::filesystem::path& path) {
  auto survey = surveyTree(path);
  if (!survey) return std::nullopt;
  return survey->allocatedBytes;
}

}  // namespace brimvale
