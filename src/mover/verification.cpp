#include "mover/verification.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/tree_walk.h"
#include "common/base/walk_below.h"
#include "mover/relink.h"
#include "mover/sha256.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

// Reads small enough to stay in the core's cache while they are hashed.
constexpr std::size_t kHashBlock = 256u << 10;

// Page-aligned read buffers, one per thread for each `Side` (the copy's side
// of a byte comparison is 1, everything else 0), reused for every file.
template <int Side = 0>
char* readBuffer() {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  thread_local std::unique_ptr<char, Free> buffer(
      static_cast<char*>(std::aligned_alloc(4096, kHashBlock)));
  return buffer.get();
}

// Runs `first` here and `second` alongside on a thread of its own where the
// machine has a core to spare; otherwise one after the other.
template <class First, class Second>
void sideBySide(First&& first, Second&& second) {
  if (std::thread::hardware_concurrency() < 2) {
    first();
    second();
    return;
  }
  std::thread other(std::forward<Second>(second));
  first();
  other.join();
}

// Feeds the file's content to `digest`; false when it cannot be read to the end.
bool feedFile(Sha256& digest, const char* path) {
  char* buffer = readBuffer();
  if (!buffer) return false;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  bool ok = true;
  while (true) {
    ssize_t n = read(fd, buffer, kHashBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    digest.update(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

std::string linkTarget(const fs::path& p) { return linkTargetAt(AT_FDCWD, p.string()); }

// Every entry below `root` (root excluded), relative, without following links;
// fails at the first folder that cannot be read.
Result<std::vector<std::string>> listTree(const fs::path& root) {
  std::vector<std::string> out;
  const WalkReport walk = walkBelow(root, {.onError = OnReadError::kStop}, [&](const WalkEntry& e) {
    out.push_back(e.path.lexically_relative(root).string());
    return WalkStep::kContinue;
  });
  if (!walk.complete()) return fail(Errc::kIo, walk.unreadable.front().string() + ": unreadable");
  return out;
}

double mtimeOf(const struct stat& st) {
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

}  // namespace

std::string_view verificationLevelRaw(VerificationLevel level) {
  return rawNameOf(kVerificationLevelNames, level);
}

VerificationLevel verificationLevelFromRaw(std::string_view raw) {
  return valueOfRaw(kVerificationLevelNames, raw).value_or(VerificationLevel::kFast);
}

std::string DiffReason::description() const {
  char buf[160];
  switch (kind) {
    case Kind::kSize:
      return "size " + std::to_string(srcSize) + " \u2260 " + std::to_string(dstSize);
    case Kind::kMtime:
      std::snprintf(buf, sizeof buf, "mtime %f \u2260 %f", srcTime, dstTime);
      return buf;
    case Kind::kMode:
      std::snprintf(buf, sizeof buf, "mode 0%o \u2260 0%o", srcMode, dstMode);
      return buf;
    case Kind::kSymlinkTarget:
      return "symlink target \"" + srcTarget + "\" \u2260 \"" + dstTarget + "\"";
    case Kind::kReadError: return "read error: " + error;
    case Kind::kMissing: return "missing on destination";
    case Kind::kExtra: return "extra on destination";
  }
  return {};
}

namespace {

// Which sides of a folder pair exist as folders.
enum class Sides { kBoth, kSourceOnly, kDestinationOnly };

struct FolderPair {
  std::string rel;  // "" for the roots
  Sides sides = Sides::kBoth;
};

// A file with more than one link on either side, to check that the copy
// links together exactly the files the source does.
struct LinkedFile {
  dev_t srcDev = 0, dstDev = 0;
  ino_t srcIno = 0, dstIno = 0;
  std::string rel;
};

// What one walking thread found.
struct CompareShare {
  std::vector<Difference> diffs;
  std::uint64_t srcBytes = 0, dstBytes = 0, srcFiles = 0;
  std::optional<std::string> error;
  // The exact comparison also compares the bytes of files whose stat
  // matches and collects the hard-linked files.
  bool exact = false;
  // Files whose change time is older than this are compared by stat alone.
  std::optional<struct timespec> unchangedBefore;
  std::vector<LinkedFile> linked;
  std::string srcBuffer, dstBuffer;
};

std::string joinRel(const std::string& rel, const std::string& name) {
  return rel.empty() ? name : rel + "/" + name;
}

// Lengths count for everything but folders, links as links, as the size check measures.
std::uint64_t apparentBytes(const struct stat& st) {
  return S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
}

// The stat comparison of one entry present on both sides; `targets` reads
// the two link targets when both are links.
template <class Targets>
std::optional<DiffReason> compareEntry(const struct stat& a, const struct stat& b,
                                       Targets targets) {
  if (a.st_mode != b.st_mode)
    return DiffReason{.kind = DiffReason::Kind::kMode, .srcMode = a.st_mode, .dstMode = b.st_mode};
  if (S_ISLNK(a.st_mode)) {
    auto [ta, tb] = targets();
    if (ta != tb)
      return DiffReason{.kind = DiffReason::Kind::kSymlinkTarget, .srcTarget = ta, .dstTarget = tb};
    return std::nullopt;
  }
  if (!S_ISREG(a.st_mode)) return std::nullopt;
  if (a.st_size != b.st_size) {
    return DiffReason{.kind = DiffReason::Kind::kSize,
                      .srcSize = static_cast<std::uint64_t>(a.st_size),
                      .dstSize = static_cast<std::uint64_t>(b.st_size)};
  }
  if (std::abs(mtimeOf(a) - mtimeOf(b)) > 0.001) {
    return DiffReason{
        .kind = DiffReason::Kind::kMtime, .srcTime = mtimeOf(a), .dstTime = mtimeOf(b)};
  }
  return std::nullopt;
}

using Xattrs = std::vector<std::pair<std::string, std::string>>;

// The extended attributes (ACLs aside, as the copy does not keep them) that
// `list` and `get` read, as listxattr and getxattr do, sorted by name;
// nothing when they cannot be read.
template <class List, class Get>
std::optional<Xattrs> readXattrs(List list, Get get) {
  Xattrs out;
  ssize_t len = list(nullptr, 0);
  if (len < 0) return errno == ENOTSUP ? std::make_optional(out) : std::nullopt;
  if (len == 0) return out;
  std::string names(static_cast<std::size_t>(len), '\0');
  len = list(names.data(), names.size());
  if (len < 0) return std::nullopt;
  names.resize(static_cast<std::size_t>(len));
  for (std::size_t at = 0; at < names.size();) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (name.starts_with("system.")) continue;
    ssize_t vlen = get(name.c_str(), nullptr, 0);
    if (vlen < 0) return std::nullopt;
    std::string value(static_cast<std::size_t>(vlen), '\0');
    vlen = get(name.c_str(), value.data(), value.size());
    if (vlen < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(vlen));
    out.emplace_back(name, std::move(value));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<Xattrs> xattrsAt(const char* path) {
  return readXattrs(
      [&](char* into, std::size_t n) { return llistxattr(path, into, n); },
      [&](const char* name, void* into, std::size_t n) { return lgetxattr(path, name, into, n); });
}

std::optional<Xattrs> xattrsOf(int fd) {
  return readXattrs(
      [&](char* into, std::size_t n) { return flistxattr(fd, into, n); },
      [&](const char* name, void* into, std::size_t n) { return fgetxattr(fd, name, into, n); });
}

// Only root can give files away, so only then do owners have to match.
bool ownersKept() {
  static const bool root = geteuid() == 0;
  return root;
}

// What the exact comparison asks beyond the quick one of an entry pair that
// passed it: the owners when running as root and the extended attributes
// (a file's are read with its bytes). Folder and link times are left out, as
// the copy tool does not keep them everywhere.
std::optional<DiffReason> exactlyDiffer(const struct stat& a, const struct stat& b,
                                        const char* srcPath, const char* dstPath) {
  if (ownersKept() && (a.st_uid != b.st_uid || a.st_gid != b.st_gid))
    return DiffReason{.kind = DiffReason::Kind::kMode, .srcMode = a.st_mode, .dstMode = b.st_mode};
  if (S_ISREG(a.st_mode)) return std::nullopt;
  auto srcAttrs = xattrsAt(srcPath);
  auto dstAttrs = xattrsAt(dstPath);
  if (!srcAttrs || !dstAttrs)
    return DiffReason{.kind = DiffReason::Kind::kReadError, .error = "extended attributes"};
  if (*srcAttrs != *dstAttrs)
    return DiffReason{.kind = DiffReason::Kind::kMode, .srcMode = a.st_mode, .dstMode = b.st_mode};
  return std::nullopt;
}

// Whether nothing has written to a file (its bytes, attributes or owner)
// since `cutoff`: every such change sets the change time to the clock.
bool notBefore(const struct timespec& t, const struct timespec& cutoff) {
  return t.tv_sec > cutoff.tv_sec || (t.tv_sec == cutoff.tv_sec && t.tv_nsec >= cutoff.tv_nsec);
}

bool unchangedSince(const struct stat& st, const std::optional<struct timespec>& cutoff) {
  return cutoff && !notBefore(st.st_ctim, *cutoff);
}

// Reads up to `size` bytes, short only at the end of the file; -1 on error.
ssize_t readFull(int fd, char* into, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, into + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

enum class Bytes { kSame, kDiffer, kUnreadable };

// A file swapped for a pipe after it was examined must not stall the comparison.
constexpr int kCompareOpen = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// The bytes and extended attributes of two files, each named within an open
// folder (AT_FDCWD: a path); `error` tells why one could not be read.
Bytes compareBytes(int srcFolder, const char* srcName, int dstFolder, const char* dstName,
                   int& error) {
  struct Fd {
    int fd;
    ~Fd() {
      if (fd >= 0) close(fd);
    }
  };
  char* bufA = readBuffer<0>();
  char* bufB = readBuffer<1>();
  auto unreadable = [&] {
    error = errno;
    return Bytes::kUnreadable;
  };
  if (!bufA || !bufB) return unreadable();
  const Fd fa{openat(srcFolder, srcName, kCompareOpen)};
  if (fa.fd < 0) return unreadable();
  const Fd fb{openat(dstFolder, dstName, kCompareOpen)};
  if (fb.fd < 0) return unreadable();
  const auto attrsA = xattrsOf(fa.fd), attrsB = xattrsOf(fb.fd);
  if (!attrsA || !attrsB) return unreadable();
  if (*attrsA != *attrsB) return Bytes::kDiffer;
  while (true) {
    const ssize_t na = readFull(fa.fd, bufA, kHashBlock), nb = readFull(fb.fd, bufB, kHashBlock);
    if (na < 0 || nb < 0) return unreadable();
    if (na != nb || std::memcmp(bufA, bufB, static_cast<std::size_t>(na)) != 0)
      return Bytes::kDiffer;
    // A short read means both files ended.
    if (static_cast<std::size_t>(na) < kHashBlock) return Bytes::kSame;
  }
}

// Compares one folder pair; returns the subfolder pairs to compare next.
std::vector<FolderPair> compareFolder(const fs::path& src, const fs::path& dst,
                                      const FolderPair& pair, CompareShare& share) {
  std::vector<FolderPair> next;
  const bool hasSrc = pair.sides != Sides::kDestinationOnly,
             hasDst = pair.sides != Sides::kSourceOnly;
  const std::string srcPath = pair.rel.empty() ? src.string() : (src / pair.rel).string();
  const std::string dstPath = pair.rel.empty() ? dst.string() : (dst / pair.rel).string();
  OpenFolder srcDir(hasSrc ? srcPath : std::string()), dstDir(hasDst ? dstPath : std::string());
  // A side that is there must list, or the comparison cannot be trusted.
  auto list = [&](bool present, const OpenFolder& dir, const std::string& path,
                  std::vector<FolderEntry>& into) {
    if (!present) return true;
    auto listed = dir.entries();
    if (!listed) {
      share.error = path + ": " + std::strerror(errno ? errno : EIO);
      return false;
    }
    into = std::move(*listed);
    return true;
  };
  std::vector<FolderEntry> srcEntries, dstEntries;
  if (!list(hasSrc, srcDir, srcPath, srcEntries) || !list(hasDst, dstDir, dstPath, dstEntries))
    return next;
  std::unordered_set<std::string_view> dstNames;
  if (hasSrc && hasDst) {
    dstNames.reserve(dstEntries.size());
    for (const auto& e : dstEntries) dstNames.insert(e.name);
  }
  std::unordered_set<std::string_view> srcNames;
  for (const auto& e : srcEntries) {
    const std::string rel = joinRel(pair.rel, e.name);
    struct stat a {};
    if (fstatat(srcDir.fd(), e.name.c_str(), &a, AT_SYMLINK_NOFOLLOW) != 0) {
      share.diffs.push_back(
          {rel, {.kind = DiffReason::Kind::kReadError, .error = "source vanished"}});
      continue;
    }
    share.srcBytes += apparentBytes(a);
    if (S_ISREG(a.st_mode)) ++share.srcFiles;
    if (hasDst) srcNames.insert(e.name);
    struct stat b {};
    if (!hasDst || !dstNames.contains(e.name) ||
        fstatat(dstDir.fd(), e.name.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0) {
      share.diffs.push_back({rel, {.kind = DiffReason::Kind::kMissing}});
      if (S_ISDIR(a.st_mode)) next.push_back({rel, Sides::kSourceOnly});
      continue;
    }
    share.dstBytes += apparentBytes(b);
    auto targets = [&] {
      return std::pair{linkTargetAt(srcDir.fd(), e.name), linkTargetAt(dstDir.fd(), e.name)};
    };
    if (auto reason = compareEntry(a, b, targets)) {
      share.diffs.push_back({rel, *reason});
    } else if (share.exact) {
      share.srcBuffer.assign(srcPath).append("/").append(e.name);
      share.dstBuffer.assign(dstPath).append("/").append(e.name);
      if (auto more = exactlyDiffer(a, b, share.srcBuffer.c_str(), share.dstBuffer.c_str())) {
        share.diffs.push_back({rel, *more});
      } else if (S_ISREG(a.st_mode) && !unchangedSince(a, share.unchangedBefore)) {
        int error = 0;
        const Bytes bytes =
            compareBytes(srcDir.fd(), e.name.c_str(), dstDir.fd(), e.name.c_str(), error);
        // A file gone meanwhile is a difference to copy again, not a failure to read.
        if (bytes == Bytes::kUnreadable && error != ENOENT) {
          share.error = "couldn't read " + rel + ": " + std::strerror(error ? error : EIO);
          return next;
        }
        if (bytes != Bytes::kSame)
          share.diffs.push_back(
              {rel, {.kind = DiffReason::Kind::kReadError, .error = "content differs"}});
      }
      if (!S_ISDIR(a.st_mode) && (a.st_nlink > 1 || b.st_nlink > 1))
        share.linked.push_back({a.st_dev, b.st_dev, a.st_ino, b.st_ino, rel});
    }
    if (S_ISDIR(a.st_mode) && S_ISDIR(b.st_mode)) {
      next.push_back({rel, Sides::kBoth});
    } else if (S_ISDIR(a.st_mode)) {
      next.push_back({rel, Sides::kSourceOnly});
    } else if (S_ISDIR(b.st_mode)) {
      next.push_back({rel, Sides::kDestinationOnly});
    }
  }
  for (const auto& e : dstEntries) {
    if (srcNames.contains(e.name)) continue;
    const std::string rel = joinRel(pair.rel, e.name);
    struct stat b {};
    if (fstatat(dstDir.fd(), e.name.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0)
      continue;  // gone meanwhile
    share.dstBytes += apparentBytes(b);
    share.diffs.push_back({rel, {.kind = DiffReason::Kind::kExtra}});
    if (S_ISDIR(b.st_mode)) next.push_back({rel, Sides::kDestinationOnly});
  }
  return next;
}

}  // namespace

namespace {

// With `exact`, the exact comparison, which also hands back the hard-linked files.
Result<TreeComparison> compareTrees(const fs::path& src, const fs::path& dst,
                                    std::vector<LinkedFile>* exact,
                                    std::optional<struct timespec> unchangedBefore = {}) {
  struct stat srcRoot {
  }, dstRoot{};
  if (lstat(src.c_str(), &srcRoot) != 0) return fail(Errc::kIo, src.string());
  if (lstat(dst.c_str(), &dstRoot) != 0) return fail(Errc::kIo, dst.string());
  TreeComparison out;
  out.srcBytes = apparentBytes(srcRoot);
  out.srcFiles = S_ISREG(srcRoot.st_mode) ? 1 : 0;
  out.dstBytes = apparentBytes(dstRoot);
  if (auto reason = compareEntry(srcRoot, dstRoot, [&] {
        return std::pair{linkTarget(src), linkTarget(dst)};
      })) {
    out.differences.push_back({"", *reason});
  } else if (exact) {
    int error = 0;
    if (auto more = exactlyDiffer(srcRoot, dstRoot, src.c_str(), dst.c_str())) {
      out.differences.push_back({"", *more});
    } else if (S_ISREG(srcRoot.st_mode)) {
      const Bytes bytes = compareBytes(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), error);
      if (bytes == Bytes::kUnreadable)
        return fail(Errc::kIo, "couldn't read " + src.string() + ": " + std::strerror(error));
      if (bytes == Bytes::kDiffer)
        out.differences.push_back(
            {"", {.kind = DiffReason::Kind::kReadError, .error = "content differs"}});
    }
  }
  std::vector<FolderPair> roots;
  if (S_ISDIR(srcRoot.st_mode))
    roots.push_back({"", S_ISDIR(dstRoot.st_mode) ? Sides::kBoth : Sides::kSourceOnly});
  const unsigned threads = walkThreads();
  std::vector<CompareShare> shares(threads);
  for (auto& share : shares) {
    share.exact = exact != nullptr;
    share.unchangedBefore = unchangedBefore;
  }
  visitFolders<FolderPair>(std::move(roots), threads, [&](FolderPair& pair, unsigned thread) {
    if (shares[thread].error) return std::vector<FolderPair>{};
    return compareFolder(src, dst, pair, shares[thread]);
  });
  std::vector<Difference> extras;
  for (auto& share : shares) {
    if (share.error) return fail(Errc::kIo, *share.error);
    out.srcBytes += share.srcBytes;
    out.srcFiles += share.srcFiles;
    out.dstBytes += share.dstBytes;
    for (auto& d : share.diffs) {
      (d.reason.kind == DiffReason::Kind::kExtra ? extras : out.differences)
          .push_back(std::move(d));
    }
    if (exact) std::move(share.linked.begin(), share.linked.end(), std::back_inserter(*exact));
  }
  // Threads finish in any order; report in path order, extras last.
  auto byPath = [](const Difference& a, const Difference& b) { return a.path < b.path; };
  std::sort(out.differences.begin(), out.differences.end(), byPath);
  std::sort(extras.begin(), extras.end(), byPath);
  out.differences.insert(out.differences.end(), std::make_move_iterator(extras.begin()),
                         std::make_move_iterator(extras.end()));
  return out;
}

// Whether the copy links together exactly the files the source links
// together: one copy inode for each source inode, and the other way round.
std::vector<std::string> unmatchedLinks(const std::vector<LinkedFile>& linked) {
  std::map<std::pair<dev_t, ino_t>, std::pair<dev_t, ino_t>> forward, backward;
  std::vector<std::string> out;
  for (const auto& f : linked) {
    const std::pair s{f.srcDev, f.srcIno}, d{f.dstDev, f.dstIno};
    const auto fw = forward.emplace(s, d).first;
    const auto bw = backward.emplace(d, s).first;
    if (fw->second != d || bw->second != s) out.push_back(f.rel);
  }
  return out;
}

}  // namespace

Result<TreeComparison> quickCompareTrees(const fs::path& src, const fs::path& dst) {
  return compareTrees(src, dst, nullptr);
}

namespace {

// The moment before which a change time proves a file untouched since the
// copy began: earlier by more than the time step of any file system a
// source lives on.
struct timespec unchangedCutoff(std::chrono::system_clock::time_point copyStarted) {
  constexpr auto kClockStep = std::chrono::seconds(2);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      (copyStarted - kClockStep).time_since_epoch())
                      .count();
  return timespec{.tv_sec = static_cast<time_t>(ns / 1'000'000'000),
                  .tv_nsec = static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

bool treeChangedSince(const fs::path& root, std::chrono::system_clock::time_point copyStarted) {
  const struct timespec cutoff = unchangedCutoff(copyStarted);
  struct stat rootInfo {};
  if (lstat(root.c_str(), &rootInfo) != 0 || !S_ISDIR(rootInfo.st_mode) ||
      notBefore(rootInfo.st_mtim, cutoff))
    return true;
  const OpenFolder dir(root.string());
  if (!dir.isOpen()) return true;
  std::atomic<bool> changed = false;
  // The modification time too: some file systems (FAT) keep a creation time
  // where others keep the change time.
  const bool whole =
      walkTree(dir.fd(), walkThreads(),
               [&](unsigned, std::string_view, std::string_view, const struct stat& st) {
                 if (notBefore(st.st_ctim, cutoff) || notBefore(st.st_mtim, cutoff)) changed = true;
               });
  return changed || !whole;
}

Result<std::vector<std::string>> exactCopyDifferences(
    const fs::path& src, const fs::path& dst,
    std::optional<std::chrono::system_clock::time_point> copyStarted) {
  std::optional<struct timespec> unchangedBefore;
  if (copyStarted) unchangedBefore = unchangedCutoff(*copyStarted);
  std::vector<LinkedFile> linked;
  auto compared = compareTrees(src, dst, &linked, unchangedBefore);
  if (!compared) return std::unexpected(compared.error());
  std::vector<std::string> out;
  for (const auto& d : compared->differences) out.push_back(d.path.empty() ? "." : d.path);
  // In path order, so that of two files wrongly linked the later one is named.
  std::sort(linked.begin(), linked.end(),
            [](const LinkedFile& a, const LinkedFile& b) { return a.rel < b.rel; });
  for (auto& rel : unmatchedLinks(linked)) out.push_back(std::move(rel));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::optional<std::int64_t> apparentSizeKB(const fs::path& path) {
  auto survey = surveyTree(path);
  if (!survey) return std::nullopt;
  return kibRoundedUp(survey->apparentBytes);
}

std::int64_t kibRoundedUp(std::uint64_t bytes) {
  return static_cast<std::int64_t>((bytes + 1023) / 1024);
}

std::vector<Difference> countedDifferences(std::vector<Difference> diffs,
                                           MoveConflictPolicy policy) {
  std::erase_if(diffs, [policy](const Difference& d) {
    using K = DiffReason::Kind;
    switch (policy) {
      case MoveConflictPolicy::kOverride: return false;
      case MoveConflictPolicy::kMerge: return d.reason.kind == K::kExtra;
      case MoveConflictPolicy::kMergeKeepNewer:
        return d.reason.kind == K::kExtra || d.reason.kind == K::kSize ||
               d.reason.kind == K::kMtime || d.reason.kind == K::kMode;
    }
    return false;
  });
  return diffs;
}

std::optional<std::string> sha256File(const fs::path& path) {
  auto digest = Sha256::start();
  if (!digest || !feedFile(*digest, path.c_str())) return std::nullopt;
  return digest->finishHex();
}

namespace {

// What one entry fed into a digest, kept to compare it with its counterpart.
struct EntryFacts {
  bool present = false;
  bool readable = true;
  mode_t mode = 0;
  std::uint64_t size = 0;
  double mtime = 0;
  // A link's target; a file's hex SHA-256, taken only when the two digests
  // disagree (equal digests mean equal bytes, and an empty string equals itself).
  std::string content;
};

// "." and then every entry below `root` in byte order of the relative paths;
// nothing when the root cannot be examined or listed.
std::optional<std::vector<std::string>> treeEntries(const fs::path& root) {
  struct stat rootStat {};
  if (lstat(root.c_str(), &rootStat) != 0) return std::nullopt;
  std::vector<std::string> entries{"."};
  if (S_ISDIR(rootStat.st_mode)) {
    auto listed = listTree(root);
    if (!listed) return std::nullopt;
    entries.insert(entries.end(), listed->begin(), listed->end());
    std::sort(entries.begin() + 1, entries.end());
  }
  return entries;
}

enum class Missing { kFails, kCounts };

// What ends a digest early: the caller's cancellation, or the failure of the
// tree hashed alongside (whose result would make this one moot).
struct Stop {
  const std::atomic<bool>* cancelled = nullptr;
  const std::atomic<bool>* partnerFailed = nullptr;
  [[nodiscard]] bool now() const {
    return (cancelled && cancelled->load()) || (partnerFailed && partnerFailed->load());
  }
};

// The path of `entry` under `root`, built in `into` to spare an allocation per entry.
const char* entryPath(const fs::path& root, const std::string& entry, std::string& into) {
  into.assign(root.native());
  if (entry != ".") into.append("/").append(entry);
  return into.c_str();
}

// One digest over `entries` of `root`, in order, each fed as treeDigest
// describes; with `facts`, what each entry was. A missing entry ends the
// digest (kFails) or is fed as "MISSING" (kCounts).
std::optional<std::string> digestEntries(const fs::path& root,
                                         const std::vector<std::string>& entries, Missing missing,
                                         const HashProgress& progress, Stop stop,
                                         std::vector<EntryFacts>* facts) {
  auto tree = Sha256::start();
  if (!tree) return std::nullopt;
  const unsigned char zero = 0;
  auto feed = [&](const void* p, std::size_t n) { tree->update(p, n); };
  auto feedText = [&](std::string_view s) { feed(s.data(), s.size()); };
  if (facts) facts->assign(entries.size(), {});
  std::string pathBuffer;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (stop.now()) return std::nullopt;
    const char* p = entryPath(root, entries[i], pathBuffer);
    struct stat st {};
    feedText(entries[i]);
    feed(&zero, 1);
    if (lstat(p, &st) != 0) {
      if (missing == Missing::kFails) return std::nullopt;
      feedText("MISSING\n");
      if (progress) progress(i + 1, entries.size());
      continue;
    }
    const std::uint32_t mode = st.st_mode;
    const unsigned char modeBytes[4] = {
        static_cast<unsigned char>(mode >> 24), static_cast<unsigned char>(mode >> 16),
        static_cast<unsigned char>(mode >> 8), static_cast<unsigned char>(mode)};
    feed(modeBytes, 4);
    feed(&zero, 1);
    bool readable = true;
    std::string target;
    if (S_ISLNK(st.st_mode)) {
      target = linkTargetAt(AT_FDCWD, p);
      feedText(target);
      feed(&zero, 1);
      feedText("\n");
    } else if (S_ISDIR(st.st_mode)) {
      feedText("\n");
    } else if (S_ISREG(st.st_mode)) {
      const auto size = static_cast<std::uint64_t>(st.st_size);
      unsigned char sizeBytes[8];
      for (int b = 0; b < 8; ++b) sizeBytes[b] = static_cast<unsigned char>(size >> (56 - 8 * b));
      feed(sizeBytes, 8);
      feed(&zero, 1);
      readable = feedFile(*tree, p);
      if (!readable) feedText("ERR_UNREADABLE");
      feedText("\n");
    } else {
      feedText("SPECIAL\n");
    }
    if (facts) {
      EntryFacts& f = (*facts)[i];
      f.present = true;
      f.readable = readable;
      f.mode = st.st_mode;
      f.size = static_cast<std::uint64_t>(st.st_size);
      f.mtime = mtimeOf(st);
      f.content = std::move(target);
    }
    if (progress) progress(i + 1, entries.size());
  }
  return tree->finishHex();
}

// Whether the copy `b` of entry `a` is what `policy` promises.
bool counterpartMatches(const EntryFacts& a, const EntryFacts& b, MoveConflictPolicy policy) {
  if (!b.present || !a.readable || !b.readable) return false;
  if ((a.mode & S_IFMT) != (b.mode & S_IFMT)) return false;
  if (policy == MoveConflictPolicy::kMergeKeepNewer) {
    if (S_ISLNK(a.mode)) return a.content == b.content;
    if (S_ISREG(a.mode)) return (a.size == b.size && a.content == b.content) || b.mtime > a.mtime;
    return true;
  }
  if (a.mode != b.mode) return false;
  if (S_ISLNK(a.mode)) return a.content == b.content;
  if (S_ISREG(a.mode)) return a.size == b.size && a.content == b.content;
  return true;
}

// Whether `counterpartMatches` turns on the bytes of the two files.
bool contentDecides(const EntryFacts& a, const EntryFacts& b, MoveConflictPolicy policy) {
  if (!a.present || !b.present || !a.readable || !b.readable) return false;
  if (!S_ISREG(a.mode) || !S_ISREG(b.mode) || a.size != b.size) return false;
  return policy == MoveConflictPolicy::kMergeKeepNewer ? !(b.mtime > a.mtime) : a.mode == b.mode;
}

// Each chosen file's own SHA-256 into its facts (unreadable now: no longer readable).
void hashContents(const fs::path& root, const std::vector<std::string>& entries,
                  const std::vector<std::size_t>& chosen, std::vector<EntryFacts>& facts,
                  Stop stop) {
  auto digest = Sha256::start();
  std::string pathBuffer;
  for (std::size_t i : chosen) {
    if (stop.now() || !digest) {
      facts[i].readable = false;
      continue;
    }
    facts[i].readable = feedFile(*digest, entryPath(root, entries[i], pathBuffer));
    facts[i].content = digest->finishHex();
  }
}

// The progress of two trees hashed side by side, told as if they were hashed
// one after the other: the destination's reports wait until the source is
// done (its latest is passed on then), and never come if the source fails.
class SourceFirstProgress {
 public:
  SourceFirstProgress(HashProgress source, HashProgress destination)
      : source_(std::move(source)), destination_(std::move(destination)) {}

  [[nodiscard]] const HashProgress& source() const { return source_; }
  [[nodiscard]] HashProgress destination() {
    return [this](std::size_t done, std::size_t total) {
      std::lock_guard lock(mutex_);
      if (state_ == State::kSourceRunning) {
        held_ = {done, total};
      } else if (state_ == State::kSourceDone && destination_) {
        destination_(done, total);
      }
    };
  }
  void sourceEnded(bool hashed) {
    std::lock_guard lock(mutex_);
    state_ = hashed ? State::kSourceDone : State::kSourceFailed;
    if (hashed && held_ && destination_) destination_(held_->first, held_->second);
    held_.reset();
  }

 private:
  enum class State { kSourceRunning, kSourceDone, kSourceFailed };
  HashProgress source_, destination_;
  std::mutex mutex_;
  State state_ = State::kSourceRunning;
  std::optional<std::pair<std::size_t, std::size_t>> held_;
};

}  // namespace

std::optional<std::string> treeDigest(const fs::path& root, const HashProgress& progress,
                                      const std::atomic<bool>* cancelled) {
  auto entries = treeEntries(root);
  if (!entries) return std::nullopt;
  return digestEntries(root, *entries, Missing::kFails, progress, {cancelled}, nullptr);
}

TreeDigests treeDigests(const fs::path& src, const fs::path& dst, const HashProgress& srcProgress,
                        const HashProgress& dstProgress, const std::atomic<bool>* cancelled) {
  TreeDigests out;
  SourceFirstProgress progress(srcProgress, dstProgress);
  std::atomic<bool> srcFailed{false};
  sideBySide(
      [&] {
        out.src = treeDigest(src, progress.source(), cancelled);
        srcFailed = !out.src;
        progress.sourceEnded(out.src.has_value());
      },
      [&] {
        auto entries = treeEntries(dst);
        if (!entries) return;
        out.dst = digestEntries(dst, *entries, Missing::kFails, progress.destination(),
                                {cancelled, &srcFailed}, nullptr);
      });
  // As if hashed in turn: no destination digest without the source's.
  if (!out.src) out.dst.reset();
  return out;
}

CounterpartCheck compareCounterparts(const fs::path& src, const fs::path& dst,
                                     MoveConflictPolicy policy, const HashProgress& srcProgress,
                                     const HashProgress& dstProgress,
                                     const std::atomic<bool>* cancelled) {
  CounterpartCheck out;
  auto entries = treeEntries(src);
  if (!entries) return out;
  std::vector<EntryFacts> srcFacts, dstFacts;
  struct stat dstRoot {};
  const bool dstThere = lstat(dst.c_str(), &dstRoot) == 0;
  SourceFirstProgress progress(srcProgress, dstProgress);
  std::atomic<bool> srcFailed{false};
  sideBySide(
      [&] {
        out.srcDigest = digestEntries(src, *entries, Missing::kFails, progress.source(),
                                      {cancelled}, &srcFacts);
        srcFailed = !out.srcDigest;
        progress.sourceEnded(out.srcDigest.has_value());
      },
      [&] {
        if (!dstThere) return;
        out.dstDigest = digestEntries(dst, *entries, Missing::kCounts, progress.destination(),
                                      {cancelled, &srcFailed}, &dstFacts);
      });
  if (!out.srcDigest) out.dstDigest.reset();
  if (!out.dstDigest) return out;
  // Only when the digests disagree do the files' own bytes need comparing,
  // and only where nothing else already decides.
  if (*out.srcDigest != *out.dstDigest) {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < entries->size(); ++i) {
      if (contentDecides(srcFacts[i], dstFacts[i], policy)) chosen.push_back(i);
    }
    sideBySide([&] { hashContents(src, *entries, chosen, srcFacts, {cancelled}); },
               [&] { hashContents(dst, *entries, chosen, dstFacts, {cancelled}); });
    if (cancelled && cancelled->load()) {
      out.srcDigest.reset();
      out.dstDigest.reset();
      return out;
    }
  }
  for (std::size_t i = 0; i < entries->size(); ++i) {
    if (!counterpartMatches(srcFacts[i], dstFacts[i], policy))
      out.differing.push_back((*entries)[i]);
  }
  // Under merge unequal digests always mean a differing entry; finding none
  // means a tree changed between the two looks, so none of it is trusted.
  if (policy == MoveConflictPolicy::kMerge && *out.srcDigest != *out.dstDigest &&
      out.differing.empty()) {
    out.differing.push_back(".");
  }
  return out;
}

std::string differingFilesText(const std::vector<std::string>& paths) {
  std::string list;
  for (std::size_t i = 0; i < paths.size() && i < 5; ++i) list += (i ? ", " : "") + paths[i];
  if (paths.size() > 5) list += " (+" + std::to_string(paths.size() - 5) + " more)";
  return "Verification failed \u2014 " + std::to_string(paths.size()) + " file" +
         (paths.size() == 1 ? "" : "s") + " differ: " + list + ". Source preserved.";
}

VerificationOutcome fastVerificationOutcome(bool compared, std::vector<Difference> counted,
                                            std::vector<std::string> unequal,
                                            bool destinationReachable) {
  using Verdict = VerificationOutcome::Verdict;
  VerificationOutcome o{.level = VerificationLevel::kFast};
  if (!compared) {
    o.verdict = destinationReachable ? Verdict::kWalkFailed : Verdict::kDriveGone;
    return o;
  }
  o.verdict = counted.empty()   ? Verdict::kPassed
              : unequal.empty() ? Verdict::kPassedAfterRehash
                                : Verdict::kContentDiffers;
  o.statDifferences = std::move(counted);
  o.differing = std::move(unequal);
  return o;
}

VerificationOutcome thoroughVerificationOutcome(std::optional<std::string> srcHash,
                                                std::optional<std::string> dstHash,
                                                std::vector<std::string> differing,
                                                bool destinationThere) {
  using Verdict = VerificationOutcome::Verdict;
  VerificationOutcome o{.level = VerificationLevel::kThorough};
  if (!srcHash) {
    o.verdict = Verdict::kSourceUnhashable;
  } else if (!dstHash) {
    o.verdict = destinationThere ? Verdict::kDestinationUnhashable : Verdict::kDriveGone;
  } else {
    o.verdict = differing.empty() ? Verdict::kPassed : Verdict::kContentDiffers;
  }
  o.srcHash = std::move(srcHash);
  o.dstHash = std::move(dstHash);
  o.differing = std::move(differing);
  return o;
}

VerificationReport renderVerification(const VerificationOutcome& o) {
  using Verdict = VerificationOutcome::Verdict;
  constexpr std::size_t kLoggedFiles = 20;
  const bool fast = o.level == VerificationLevel::kFast;
  VerificationReport r;
  const std::size_t skewed = o.statDifferences.size();
  const std::string files = std::to_string(skewed) + (skewed == 1 ? " file" : " files");
  if (fast && !o.statDifferences.empty()) {
    r.logLines.push_back("Stat diff on " + files + " — re-hashing.");
    for (std::size_t i = 0; i < skewed && i < kLoggedFiles; ++i) {
      const Difference& d = o.statDifferences[i];
      r.logLines.push_back(d.path + ": " + d.reason.description());
    }
  }
  if (!fast && o.srcHash && o.dstHash) {
    r.logLines.push_back("source " + *o.srcHash + " · destination " + *o.dstHash);
    for (std::size_t i = 0; i < o.differing.size() && i < kLoggedFiles; ++i) {
      r.logLines.push_back(o.differing[i] + ": copy differs from the source");
    }
  }
  switch (o.verdict) {
    case Verdict::kSkipped:
      r.next = MovePhase::kCleaningUp;
      r.statusMessage = "Verification disabled — proceeding to cleanup.";
      break;
    case Verdict::kPassed:
      if (fast) r.statusMessage = "Quick verify passed — proceeding.";
      break;
    case Verdict::kPassedAfterRehash:
      r.statusMessage = "Verified (stat skew on " + files + ", content matched).";
      break;
    case Verdict::kContentDiffers:
      r.next = MovePhase::kFailed;
      r.lastError = {MoveFailure::kVerification, differingFilesText(o.differing)};
      break;
    case Verdict::kWalkFailed:
      r.next = MovePhase::kFailed;
      r.lastError = {MoveFailure::kVerification,
                     "Verification walk failed (permission or read error). Source preserved."};
      break;
    case Verdict::kSourceUnhashable:
      r.next = MovePhase::kFailed;
      r.lastError = {MoveFailure::kVerification,
                     "Could not hash source — file vanished or read error. Source may have been "
                     "moved or modified during the operation."};
      break;
    case Verdict::kDestinationUnhashable:
      r.next = MovePhase::kFailed;
      r.lastError = {MoveFailure::kVerification,
                     "Could not hash destination — read error on a reachable drive. Source "
                     "preserved."};
      break;
    case Verdict::kDriveGone:
      r.next = MovePhase::kWaitingForDrive;
      r.lastError = {MoveFailure::kDriveGone,
                     fast ? "Destination drive disappeared during verification. Will resume on "
                            "reconnect."
                          : "Destination drive disappeared during integrity hash. Will resume on "
                            "reconnect."};
      break;
  }
  return r;
}

Result<std::vector<std::string>> unmatchedBeforeCleanup(const fs::path& src, const fs::path& dst,
                                                        MoveConflictPolicy policy) {
  auto compared = quickCompareTrees(src, dst);
  if (!compared) return std::unexpected(compared.error());
  // Extras never endanger the source, whatever the policy.
  const MoveConflictPolicy counted =
      policy == MoveConflictPolicy::kOverride ? MoveConflictPolicy::kMerge : policy;
  std::vector<std::string> unmatched;
  for (const auto& d : countedDifferences(std::move(compared->differences), counted)) {
    const fs::path a = d.path.empty() ? src : src / d.path;
    const fs::path b = d.path.empty() ? dst : dst / d.path;
    struct stat sa {
    }, sb{};
    const bool haveA = lstat(a.c_str(), &sa) == 0;
    if (haveA && S_ISLNK(sa.st_mode)) {
      const std::string target = linkTarget(a);
      // Relinked by the interrupted clean-up: a link to its own copy.
      if (target == b.string() && lstat(b.c_str(), &sb) == 0 && !S_ISLNK(sb.st_mode)) continue;
      if (d.reason.kind == DiffReason::Kind::kMissing &&
          isRelinkLeftover(a.filename().string(), target, b.parent_path())) {
        continue;
      }
    }
    if (d.reason.kind == DiffReason::Kind::kSize || d.reason.kind == DiffReason::Kind::kMtime) {
      auto ha = sha256File(a), hb = sha256File(b);
      if (ha && hb && *ha == *hb) continue;
    }
    unmatched.push_back(d.path.empty() ? "." : d.path);
  }
  return unmatched;
}

std::string formatKB(std::int64_t kib) {
  char buf[64];
  if (kib <= 1023) return std::to_string(kib) + " KB";
  if (kib < 1024 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(kib) / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.2f GB", static_cast<double>(kib) / (1024.0 * 1024.0));
  }
  return buf;
}

SizeCheck sizeCheck(std::int64_t manifestKB, std::int64_t liveKB, std::int64_t dstKB) {
  SizeCheck c{manifestKB, liveKB, dstKB, 0, false};
  const std::int64_t reference = std::max(liveKB, manifestKB);
  c.toleranceKB = reference < 340 ? 16 : reference / 20;
  c.passed = (reference == 0 && dstKB == 0) || (dstKB > 0 && dstKB + c.toleranceKB >= reference);
  return c;
}

std::string SizeCheck::failureText() const {
  return "Post-copy size sanity check failed (src(manifest)=" + formatKB(manifestKB) +
         " src(live)=" + formatKB(liveKB) + " dst=" + formatKB(dstKB) +
         " tolerance=" + formatKB(toleranceKB) + "). Source preserved.";
}

}  // namespace brimvale::mover
