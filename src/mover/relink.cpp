#include "mover/relink.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "common/folder_walk.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

// Replaces `name` in the open folder `dirfd` with a link to `target` in one
// rename, so a crash never leaves the name missing.
std::optional<std::string> replaceWithLink(int dirfd, const std::string& name, const std::string& target) {
  const std::string temp = name + ".brimvale-link";
  if (symlinkat(target.c_str(), dirfd, temp.c_str()) != 0) {
    if (errno != EEXIST) return std::strerror(errno);
    unlinkat(dirfd, temp.c_str(), 0);  // left by an interrupted earlier run
    if (symlinkat(target.c_str(), dirfd, temp.c_str()) != 0) return std::strerror(errno);
  }
  if (renameat(dirfd, temp.c_str(), dirfd, name.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    unlinkat(dirfd, temp.c_str(), 0);
    return why;
  }
  return std::nullopt;
}

// One source folder, relative to the source root ("" for the root).
struct RelinkFolder {
  std::string rel;
};

// Relinks the files of one folder; returns its subfolders.
std::vector<RelinkFolder> relinkFolder(const fs::path& src, const fs::path& dst, const RelinkFolder& folder,
                                       WalkResult& part, std::string& firstErrorPath) {
  auto note = [&](const std::string& path, std::string error) {
    ++part.errors;
    if (!part.firstError || path < firstErrorPath) {
      part.firstError = std::move(error);
      firstErrorPath = path;
    }
  };
  std::vector<RelinkFolder> next;
  const fs::path srcPath = folder.rel.empty() ? src : src / folder.rel;
  const fs::path dstPath = folder.rel.empty() ? dst : dst / folder.rel;
  OpenFolder here(srcPath.string());
  auto entries = here.entries();
  if (!entries) {
    note(folder.rel, "Could not enumerate " + src.string());
    return next;
  }
  // One listing of the copy's folder answers "is it there" for every file.
  std::unordered_set<std::string> copies;
  if (auto listed = OpenFolder(dstPath.string()).entries()) {
    for (auto& c : *listed) copies.insert(std::move(c.name));
  }
  for (const auto& e : *entries) {
    unsigned char type = e.type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(here.fd(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) type = DT_UNKNOWN;
      else if (S_ISREG(st.st_mode)) type = DT_REG;
      else if (S_ISDIR(st.st_mode)) type = DT_DIR;
      else type = DT_LNK;  // anything else is skipped like a link
    }
    const std::string rel = folder.rel.empty() ? e.name : folder.rel + "/" + e.name;
    if (type == DT_DIR) next.push_back({rel});
    if (type != DT_REG) {
      ++part.skipped;
      continue;
    }
    const std::string counterpart = (dst / rel).string();
    if (!copies.contains(e.name)) {
      note(rel, "Missing dst counterpart: " + counterpart);
    } else if (auto err = replaceWithLink(here.fd(), e.name, counterpart)) {
      note(rel, (src / rel).string() + ": " + *err);
    } else {
      ++part.relinked;
    }
  }
  return next;
}

}  // namespace

WalkResult relinkTree(const fs::path& src, const fs::path& dst) {
  WalkResult r;
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) {
    ++r.errors;
    r.firstError = "Source not found: " + src.string();
    return r;
  }
  if (S_ISLNK(st.st_mode)) {
    ++r.skipped;  // already replaced on an earlier run
    return r;
  }
  if (!S_ISDIR(st.st_mode)) {
    r.singleFile = true;
    OpenFolder parent(src.parent_path().string());
    if (auto e = replaceWithLink(parent.fd(), src.filename().string(), dst.string())) {
      ++r.errors;
      r.firstError = "Single-file relocate failed: " + *e;
    } else {
      ++r.relinked;
    }
    return r;
  }
  // Folder by folder on several threads; the error reported first is the one
  // of the first path in name order, whichever thread met it.
  const unsigned threads = walkThreads();
  std::vector<WalkResult> parts(threads);
  std::vector<std::string> firstErrorPaths(threads);
  visitFolders<RelinkFolder>({RelinkFolder{}}, threads, [&](RelinkFolder& folder, unsigned thread) {
    return relinkFolder(src, dst, folder, parts[thread], firstErrorPaths[thread]);
  });
  std::string firstPath;
  for (unsigned i = 0; i < threads; ++i) {
    r.relinked += parts[i].relinked;
    r.skipped += parts[i].skipped;
    r.errors += parts[i].errors;
    if (parts[i].firstError && (!r.firstError || firstErrorPaths[i] < firstPath)) {
      r.firstError = parts[i].firstError;
      firstPath = firstErrorPaths[i];
    }
  }
  return r;
}

}  // namespace brimvale::mover
