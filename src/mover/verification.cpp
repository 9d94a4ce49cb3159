#include "mover/verification.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <future>
#include <cstdio>
#include <map>
#include <memory>
#include <unordered_set>

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileHashBlock = 16u << 20;
constexpr std::size_t kTreeHashBlock = 1u << 20;

struct MdFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Md = std::unique_ptr<EVP_MD_CTX, MdFree>;

Md newSha256() {
  Md ctx(EVP_MD_CTX_new());
  if (ctx) EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  return ctx;
}

std::string hexDigest(EVP_MD_CTX* ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

// Feeds the file's content; false when it cannot be read to the end.
bool feedFile(EVP_MD_CTX* ctx, const fs::path& path, std::vector<char>& buffer) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool ok = true;
  while (true) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx, buffer.data(), static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

std::string linkTarget(const fs::path& p) {
  std::array<char, 4096> buf{};
  ssize_t n = readlink(p.c_str(), buf.data(), 4095);
  return n < 0 ? std::string() : std::string(buf.data(), static_cast<std::size_t>(n));
}

// Every entry below `root` (root excluded), relative, without following links.
Result<std::vector<std::string>> listTree(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  if (ec) return fail(Errc::kIo, root.string() + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) return fail(Errc::kIo, ec.message());
    out.push_back(it->path().lexically_relative(root).string());
  }
  if (ec) return fail(Errc::kIo, ec.message());
  return out;
}

double mtimeOf(const struct stat& st) {
  return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

}  // namespace

std::string_view verificationLevelRaw(VerificationLevel level) {
  switch (level) {
    case VerificationLevel::kThorough: return "thorough";
    case VerificationLevel::kOff: return "off";
    case VerificationLevel::kFast: break;
  }
  return "fast";
}

VerificationLevel verificationLevelFromRaw(std::string_view raw) {
  if (raw == "thorough") return VerificationLevel::kThorough;
  if (raw == "off") return VerificationLevel::kOff;
  return VerificationLevel::kFast;
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
    case Kind::kReadError:
      return "read error: " + error;
    case Kind::kMissing:
      return "missing on destination";
    case Kind::kExtra:
      return "extra on destination";
  }
  return {};
}

Result<std::vector<Difference>> quickCompareTrees(const fs::path& src, const fs::path& dst) {
  struct stat srcRoot {}, dstRoot {};
  if (lstat(src.c_str(), &srcRoot) != 0) return fail(Errc::kIo, src.string());
  if (lstat(dst.c_str(), &dstRoot) != 0) return fail(Errc::kIo, dst.string());
  std::vector<Difference> diffs;
  // The destination's own listing (for extras) runs beside the source pass.
  const bool bothFolders = S_ISDIR(srcRoot.st_mode) && S_ISDIR(dstRoot.st_mode);
  auto dstListing = std::async(bothFolders ? std::launch::async : std::launch::deferred,
                               [&dst] { return listTree(dst); });
  std::vector<std::string> srcEntries{""};
  if (S_ISDIR(srcRoot.st_mode)) {
    auto listed = listTree(src);
    if (!listed) return std::unexpected(listed.error());
    srcEntries.insert(srcEntries.end(), listed->begin(), listed->end());
  }
  for (const auto& rel : srcEntries) {
    const fs::path s = rel.empty() ? src : src / rel;
    const fs::path d = rel.empty() ? dst : dst / rel;
    struct stat a {}, b {};
    if (lstat(s.c_str(), &a) != 0) {
      diffs.push_back({rel, {.kind = DiffReason::Kind::kReadError, .error = "source vanished"}});
      continue;
    }
    if (lstat(d.c_str(), &b) != 0) {
      diffs.push_back({rel, {.kind = DiffReason::Kind::kMissing}});
      continue;
    }
    if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT) || a.st_mode != b.st_mode) {
      diffs.push_back({rel, {.kind = DiffReason::Kind::kMode, .srcMode = a.st_mode, .dstMode = b.st_mode}});
      continue;
    }
    if (S_ISLNK(a.st_mode)) {
      auto ta = linkTarget(s), tb = linkTarget(d);
      if (ta != tb) diffs.push_back({rel, {.kind = DiffReason::Kind::kSymlinkTarget, .srcTarget = ta, .dstTarget = tb}});
      continue;
    }
    if (!S_ISREG(a.st_mode)) continue;
    if (a.st_size != b.st_size) {
      diffs.push_back({rel, {.kind = DiffReason::Kind::kSize,
                             .srcSize = static_cast<std::uint64_t>(a.st_size),
                             .dstSize = static_cast<std::uint64_t>(b.st_size)}});
    } else if (std::abs(mtimeOf(a) - mtimeOf(b)) > 0.001) {
      diffs.push_back({rel, {.kind = DiffReason::Kind::kMtime, .srcTime = mtimeOf(a), .dstTime = mtimeOf(b)}});
    }
  }
  if (bothFolders) {
    auto dstEntries = dstListing.get();
    if (!dstEntries) return std::unexpected(dstEntries.error());
    std::unordered_set<std::string> inSrc(srcEntries.begin(), srcEntries.end());
    for (const auto& rel : *dstEntries) {
      if (!inSrc.contains(rel)) diffs.push_back({rel, {.kind = DiffReason::Kind::kExtra}});
    }
  }
  return diffs;
}

std::vector<Difference> countedDifferences(std::vector<Difference> diffs, MoveConflictPolicy policy) {
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
  Md ctx = newSha256();
  if (!ctx) return std::nullopt;
  std::vector<char> buffer(kFileHashBlock);
  if (!feedFile(ctx.get(), path, buffer)) return std::nullopt;
  return hexDigest(ctx.get());
}

std::optional<std::string> treeDigest(const fs::path& root, const HashProgress& progress,
                                      const std::atomic<bool>* cancelled) {
  struct stat rootStat {};
  if (lstat(root.c_str(), &rootStat) != 0) return std::nullopt;
  std::vector<std::string> entries{"."};
  if (S_ISDIR(rootStat.st_mode)) {
    auto listed = listTree(root);
    if (!listed) return std::nullopt;
    entries.insert(entries.end(), listed->begin(), listed->end());
    std::sort(entries.begin() + 1, entries.end());
  }
  Md ctx = newSha256();
  if (!ctx) return std::nullopt;
  std::vector<char> buffer(kTreeHashBlock);
  const unsigned char zero = 0;
  auto feed = [&](const void* p, std::size_t n) { EVP_DigestUpdate(ctx.get(), p, n); };
  auto feedText = [&](std::string_view s) { feed(s.data(), s.size()); };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (cancelled && cancelled->load()) return std::nullopt;
    const fs::path p = entries[i] == "." ? root : root / entries[i];
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return std::nullopt;
    feedText(entries[i]);
    feed(&zero, 1);
    const std::uint32_t mode = st.st_mode;
    const unsigned char modeBytes[4] = {static_cast<unsigned char>(mode >> 24),
                                        static_cast<unsigned char>(mode >> 16),
                                        static_cast<unsigned char>(mode >> 8),
                                        static_cast<unsigned char>(mode)};
    feed(modeBytes, 4);
    feed(&zero, 1);
    if (S_ISLNK(st.st_mode)) {
      feedText(linkTarget(p));
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
      if (!feedFile(ctx.get(), p, buffer)) feedText("ERR_UNREADABLE");
      feedText("\n");
    } else {
      feedText("SPECIAL\n");
    }
    if (progress) progress(i + 1, entries.size());
  }
  return hexDigest(ctx.get());
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
