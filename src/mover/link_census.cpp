#include "mover/link_census.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/state/path_policy.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

struct CensusFolder {
  std::string rel;  // "" for the root
};

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

// The kind of an entry, from its listing or else from lstat; DT_UNKNOWN when it vanished.
unsigned char entryType(int dirfd, const FolderEntry& e) {
  if (e.type != DT_UNKNOWN) return e.type;
  struct stat st {};
  if (::fstatat(dirfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  return S_ISDIR(st.st_mode)   ? DT_DIR
         : S_ISLNK(st.st_mode) ? DT_LNK
         : S_ISREG(st.st_mode) ? DT_REG
                               : DT_UNKNOWN;
}

bool atOrInsideAny(const fs::path& target, const std::vector<fs::path>& folders) {
  return std::any_of(folders.begin(), folders.end(), [&](const fs::path& f) {
    return target == f || isStrictlyInside(target, f);
  });
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

  struct Part {
    std::vector<LinkInto> links;
    std::vector<fs::path> unreadable;
    bool timedOut = false;
  };
  std::vector<Part> parts(walkThreads());
  visitFolders<fs::path>({start}, static_cast<unsigned>(parts.size()),
                         [&](fs::path& here, unsigned thread) {
                           Part& part = parts[thread];
                           std::vector<fs::path> next;
                           if (limits.deadline &&
                               std::chrono::steady_clock::now() >= *limits.deadline) {
                             part.timedOut = true;
                             return next;
                           }
                           OpenFolder open(here.string());
                           if (!open.isOpen() && errno == ENOENT) return next;  // gone meanwhile
                           auto entries = open.entries();
                           if (!entries) {
                             part.unreadable.push_back(here);
                             return next;
                           }
                           for (const auto& e : *entries) {
                             const unsigned char type = entryType(open.fd(), e);
                             fs::path path = here / e.name;
                             if (type == DT_DIR) {
                               if (!atOrInsideAny(path, folders)) next.push_back(std::move(path));
                               continue;
                             }
                             if (type != DT_LNK) continue;
                             auto target = readLinkAt(open.fd(), e.name);
                             if (!target) {
                               if (errno != ENOENT) part.unreadable.push_back(path);
                               continue;
                             }
                             fs::path to = linkTarget(here, *target);
                             if (atOrInsideAny(to, folders))
                               part.links.push_back({std::move(path), std::move(to)});
                           }
                           return next;
                         });
  for (auto& part : parts) {
    std::move(part.links.begin(), part.links.end(), std::back_inserter(out.links));
    std::move(part.unreadable.begin(), part.unreadable.end(), std::back_inserter(out.unreadable));
    out.timedOut = out.timedOut || part.timedOut;
  }
  std::sort(out.links.begin(), out.links.end(),
            [](const LinkInto& a, const LinkInto& b) { return a.link < b.link; });
  std::sort(out.unreadable.begin(), out.unreadable.end());
  return out;
}

std::optional<LinkCensus> takeLinkCensus(const fs::path& root,
                                         const std::vector<fs::path>& foldersIn) {
  std::vector<fs::path> folders;
  for (const auto& f : foldersIn)
    folders.push_back(normalisedAbsolute(f.string()).value_or(f.lexically_normal()));
  LinkCensus census;
  census.linksInto.assign(folders.size(), 0);
  census.exampleInto.assign(folders.size(), std::nullopt);
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
  visitFolders<CensusFolder>({CensusFolder{}}, threads, [&](CensusFolder& folder, unsigned thread) {
    LinkCensus& part = parts[thread];
    std::vector<CensusFolder> next;
    const fs::path here = folder.rel.empty() ? root : root / folder.rel;
    OpenFolder open(here.string());
    auto entries = open.entries();
    if (!entries) {
      part.incomplete = true;
      return next;
    }
    for (const auto& e : *entries) {
      unsigned char type = e.type;
      if (type == DT_UNKNOWN) {
        struct stat est {};
        if (::fstatat(open.fd(), e.name.c_str(), &est, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(est.st_mode)   ? DT_DIR
               : S_ISLNK(est.st_mode) ? DT_LNK
               : S_ISREG(est.st_mode) ? DT_REG
                                      : DT_UNKNOWN;
      }
      const std::string rel = folder.rel.empty() ? e.name : folder.rel + "/" + e.name;
      if (type == DT_DIR) {
        next.push_back({rel});
        continue;
      }
      ++part.files;
      if (type == DT_REG) ++part.regularFiles;
      if (type != DT_LNK) continue;
      if (auto target = readLinkAt(open.fd(), e.name))
        countLink(linkTarget(here, *target), folders, rel, part);
    }
    return next;
  });
  for (const auto& part : parts) {
    census.files += part.files;
    census.regularFiles += part.regularFiles;
    census.incomplete = census.incomplete || part.incomplete;
    for (std::size_t i = 0; i < folders.size(); ++i) {
      census.linksInto[i] += part.linksInto[i];
      if (part.exampleInto[i] &&
          (!census.exampleInto[i] || *part.exampleInto[i] < *census.exampleInto[i])) {
        census.exampleInto[i] = part.exampleInto[i];
      }
    }
  }
  return census;
}

}  // namespace brimvale::mover
