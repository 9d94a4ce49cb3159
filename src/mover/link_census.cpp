#include "mover/link_census.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/walk_below.h"
#include "common/state/path_policy.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

// Where a link written in `folder` leads, lexically.
fs::path linkTarget(const fs::path& folder, const std::string& target) {
  fs::path t(target);
  return (t.is_absolute() ? t : folder / t).lexically_normal();
}

void countLink(const fs::path& target, const std::vector<fs::path>& folders, const std::string& rel,
               LinkCensus& part) {
  std::string text = target.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (text == folders[i].native() || isStrictlyInside(fs::path(text), folders[i])) {
      ++part.linksInto[i];
      if (!part.exampleInto[i] || rel < *part.exampleInto[i]) part.exampleInto[i] = rel;
    }
  }
}

std::optional<std::string> readLinkAt(int dirfd, const std::string& name) {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlinkat(dirfd, name.c_str(), buffer.data(), buffer.size());
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

// Adds one walk thread's counts to `census`; the example kept is the first by name.
void addCensusPart(const LinkCensus& part, LinkCensus& census) {
  census.files += part.files;
  census.regularFiles += part.regularFiles;
  for (std::size_t i = 0; i < census.linksInto.size(); ++i) {
    census.linksInto[i] += part.linksInto[i];
    if (part.exampleInto[i] &&
        (!census.exampleInto[i] || *part.exampleInto[i] < *census.exampleInto[i])) {
      census.exampleInto[i] = part.exampleInto[i];
    }
  }
}

bool atOrInsideAny(const fs::path& target, const std::vector<fs::path>& folders) {
  return std::any_of(folders.begin(), folders.end(),
                     [&](const fs::path& f) { return target == f || isStrictlyInside(target, f); });
}

}  // namespace

LinksInto linksInto(const fs::path& root, const std::vector<fs::path>& foldersIn,
                    LinkWalkLimits limits) {
  auto normal = [](const fs::path& p) {
    return normalisedAbsolute(p.string()).value_or(p.lexically_normal());
  };
  std::vector<fs::path> folders;
  for (const auto& f : foldersIn) {
    if (f.empty()) continue;
    folders.push_back(normal(f));
    if (auto resolved = weaklyCanonical(folders.back()); resolved && *resolved != folders.back())
      folders.push_back(resolved->lexically_normal());
  }

  LinksInto out;
  const fs::path start = normal(root);
  struct stat st {};
  if (::lstat(start.c_str(), &st) != 0) {
    if (errno != ENOENT) out.unreadable.push_back(start);
    return out;
  }
  if (S_ISLNK(st.st_mode)) {
    if (auto target = readLinkAt(AT_FDCWD, start.string())) {
      const fs::path to = linkTarget(start.parent_path(), *target);
      if (atOrInsideAny(to, folders)) out.links.push_back({start, to});
    } else {
      out.unreadable.push_back(start);
    }
    return out;
  }
  if (!S_ISDIR(st.st_mode) || atOrInsideAny(start, folders)) return out;

  FoundLinks found = findLinksUnder(
      start, {.deadline = limits.deadline, .skip = folders, .threads = walkThreads()});
  for (auto& link : found.links) {
    fs::path to = linkTarget(link.link.parent_path(), link.target.string());
    if (atOrInsideAny(to, folders)) out.links.push_back({std::move(link.link), std::move(to)});
  }
  out.unreadable = std::move(found.walk.unreadable);
  out.timedOut = found.walk.timedOut;
  return out;
}

namespace {

// `foldersIn` made absolute, and a census that counts nothing into each yet.
std::pair<std::vector<fs::path>, LinkCensus> emptyCensusOf(const std::vector<fs::path>& foldersIn) {
  std::vector<fs::path> folders;
  for (const auto& f : foldersIn)
    folders.push_back(normalisedAbsolute(f.string()).value_or(f.lexically_normal()));
  LinkCensus census;
  census.linksInto.assign(folders.size(), 0);
  census.exampleInto.assign(folders.size(), std::nullopt);
  return {std::move(folders), std::move(census)};
}

}  // namespace

std::optional<LinkCensus> takeLinkCensus(const fs::path& root,
                                         const std::vector<fs::path>& foldersIn) {
  auto [folders, census] = emptyCensusOf(foldersIn);
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0) return std::nullopt;
  if (S_ISLNK(st.st_mode)) {
    census.files = 1;
    if (auto target = readLinkAt(AT_FDCWD, root.string()))
      countLink(linkTarget(root.parent_path(), *target), folders, "", census);
    return census;
  }
  if (!S_ISDIR(st.st_mode)) {
    census.files = 1;
    census.regularFiles = S_ISREG(st.st_mode) ? 1 : 0;
    return census;
  }
  const unsigned threads = walkThreads();
  std::vector<LinkCensus> parts(threads, census);
  const WalkReport walk = walkBelow(root, {.threads = threads}, [&](const WalkEntry& e) {
    if (e.type == DT_DIR || e.type == DT_UNKNOWN) return WalkStep::kContinue;  // or vanished
    LinkCensus& part = parts[e.thread];
    ++part.files;
    if (e.type == DT_REG) ++part.regularFiles;
    if (e.type != DT_LNK) return WalkStep::kContinue;
    if (auto target = readLinkAt(e.folderFd, std::string(e.name))) {
      countLink(linkTarget(e.path.parent_path(), *target), folders,
                e.path.lexically_relative(root).string(), part);
    }
    return WalkStep::kContinue;
  });
  census.incomplete = !walk.complete();
  for (const auto& part : parts) addCensusPart(part, census);
  return census;
}

SurveyedCensus surveyWithLinkCensus(const fs::path& root, const std::vector<fs::path>& foldersIn) {
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0) return {};
  // A file or a link is its own census; only a folder needs the shared walk.
  if (!S_ISDIR(st.st_mode)) return {surveyTree(root), takeLinkCensus(root, foldersIn)};
  auto [folders, empty] = emptyCensusOf(foldersIn);
  std::vector<LinkCensus> parts(walkThreads(), empty);
  auto survey = surveyTree(root, [&](unsigned thread, std::string_view folder,
                                     std::string_view name, const struct stat& info) {
    if (S_ISDIR(info.st_mode)) return;
    LinkCensus& part = parts[thread];
    ++part.files;
    if (S_ISREG(info.st_mode)) ++part.regularFiles;
    if (!S_ISLNK(info.st_mode)) return;
    // Links are few: each is read by its whole path.
    const fs::path inFolder = folder.empty() ? root : root / folder;
    if (auto target = readLinkAt(AT_FDCWD, (inFolder / name).string())) {
      const std::string relPath =
          folder.empty() ? std::string(name) : std::string(folder) + "/" + std::string(name);
      countLink(linkTarget(inFolder, *target), folders, relPath, part);
    }
  });
  if (!survey) return {};
  LinkCensus census = empty;
  census.incomplete = !survey->complete;
  for (const auto& part : parts) addCensusPart(part, census);
  return {std::move(survey), std::move(census)};
}

bool anythingLeadsInto(const fs::path& home, const fs::path& copy) {
  const auto census = takeLinkCensus(home, {copy});
  return !census || census->incomplete || census->linksInto.at(0) > 0;
}

}  // namespace brimvale::mover
