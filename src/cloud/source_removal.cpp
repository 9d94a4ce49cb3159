#include "cloud/source_removal.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "common/base/replace_guard.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

std::int64_t nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// `rclone md5sum` of the destination: relative path -> hex digest. Remotes
// that keep no MD5 are read back and hashed by rclone (--download).
Result<std::map<std::string, std::string>> remoteDigests(const RcloneClient& client,
                                                         const std::string& destination) {
  std::string why;
  for (const bool download : {false, true}) {
    std::vector<std::string> args{"md5sum", destination};
    if (download) args.push_back("--download");
    auto listed = client.run(args);
    if (!listed) return std::unexpected(listed.error());
    if (listed->status != 0) {
      why = listed->err;
      continue;
    }
    std::map<std::string, std::string> digests;
    bool blank = false;
    std::istringstream lines(listed->out);
    for (std::string line; std::getline(lines, line);) {
      // "<32 hex digits>  <path>"; an object without a digest has blanks.
      if (line.size() < 35 || line.compare(32, 2, "  ") != 0) continue;
      const std::string digest = line.substr(0, 32);
      if (digest.find(' ') != std::string::npos) {
        blank = true;
        continue;
      }
      digests[line.substr(34)] = digest;
    }
    if (blank && !download) continue;
    return digests;
  }
  return fail(Errc::kIo, "the destination's checksums could not be read: " + why);
}

struct MdContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// The MD5 of `name` in `dfd` as hex, read through a descriptor that must be
// the file `seen` describes; nothing when it cannot be read.
std::optional<std::string> localDigest(int dfd, const std::string& name, const FileIdentity& seen) {
  const int fd = openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::unique_ptr<EVP_MD_CTX, MdContextFree> md(EVP_MD_CTX_new());
  bool ok = fstat(fd, &st) == 0 && st.st_ino == seen.inode && st.st_dev == seen.device && md &&
            EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr) == 1;
  std::vector<char> buffer(1 << 20);
  while (ok) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = EVP_DigestUpdate(md.get(), buffer.data(), static_cast<std::size_t>(n)) == 1;
  }
  close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(md.get(), digest, &length) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// The identity of a file not written within its file system's time
// granularity: a write in the same tick would leave the time stamps as they
// are, so such a file is waited for first.
std::optional<FileIdentity> settledIdentity(int dfd, const std::string& name) {
  auto seen = identityAt(dfd, name);
  if (!seen) return seen;
  const auto granularity = timeGranularity(dfd);
  if (nanos(Clock::now()) - seen->ctimeNs < granularity.count()) {
    std::this_thread::sleep_for(granularity);
    seen = identityAt(dfd, name);
  }
  return seen;
}

// A local source against the MD5 the remote destination gives for each file:
// the file's identity is taken before it is read and must be the same after
// the read, right before the unlink.
GuardedRemoval removeAgainstDigests(const RcloneClient& client, const SourceRemovalRequest& request,
                                    FileOperations& files) {
  const fs::path source = fs::path(request.source).lexically_normal();
  struct stat st {};
  if (lstat(source.c_str(), &st) != 0 && errno == ENOENT) return {};
  const auto digests = remoteDigests(client, request.destination);
  if (!digests) {
    GuardedRemoval out;
    out.failed.push_back(".: " + digests.error().detail);
    return out;
  }
  const std::int64_t copyStarted = nanos(request.copyStarted);
  auto check = [&](int dfd, const std::string& name, const std::string& rel) {
    const auto before = settledIdentity(dfd, name);
    if (!before) return GuardVerdict::kUnreadable;
    // Links and special files are not copied by rclone: they stay.
    if (!S_ISREG(before->mode)) return GuardVerdict::kDiffers;
    const GuardVerdict notThere =
        before->ctimeNs >= copyStarted ? GuardVerdict::kChanged : GuardVerdict::kDiffers;
    // rclone copies a single file into the destination folder.
    const auto remote = digests->find(rel == "." ? name : rel);
    if (remote == digests->end()) return notThere;
    const auto local = localDigest(dfd, name, *before);
    if (!local) return GuardVerdict::kUnreadable;
    if (identityAt(dfd, name) != before) return GuardVerdict::kChanged;
    return *local == remote->second ? GuardVerdict::kSafe : notThere;
  };
  return removeCheckedTree(source, check, files);
}

// A private scratch folder for rclone's report files, removed with its files.
class ReportFolder {
 public:
  ReportFolder() {
    std::string pattern = (fs::temp_directory_path() / "brimvale-check-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ReportFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A remote source: rclone compares every file by its bytes, and deletes only
// the ones it found identical.
GuardedRemoval removeCheckedRemote(const RcloneClient& client,
                                   const SourceRemovalRequest& request) {
  GuardedRemoval out;
  ReportFolder reports;
  if (reports.path().empty()) {
    out.failed.push_back(std::string(".: no folder for rclone's report: ") + std::strerror(errno));
    return out;
  }
  const fs::path combined = reports.path() / "combined";
  auto checked = client.run({"check", request.source, request.destination, "--one-way",
                             "--download", "--combined", combined.string()});
  if (!checked) {
    out.failed.push_back(".: " + checked.error().detail);
    return out;
  }
  std::ifstream report(combined);
  std::ofstream identical(reports.path() / "identical");
  std::size_t matched = 0, reported = 0;
  for (std::string line; std::getline(report, line);) {
    if (line.size() < 3 || line[1] != ' ') continue;
    ++reported;
    const std::string path = line.substr(2);
    switch (line[0]) {
      case '=':
        identical << path << "\n";
        ++matched;
        break;
      case '!': out.failed.push_back(path + ": could not be compared"); break;
      case '+': break;  // only at the destination
      default: out.unmatched.push_back(path);
    }
  }
  identical.close();
  // A check that failed before comparing anything proves nothing.
  if (reported == 0 && checked->status != 0) out.failed.push_back(".: " + checked->err);
  if (matched == 0) return out;
  auto deleted = client.run(
      {"delete", request.source, "--files-from", (reports.path() / "identical").string()});
  if (!deleted || deleted->status != 0) {
    out.failed.push_back(".: rclone could not delete the copied files: " +
                         (deleted ? deleted->err : deleted.error().detail));
    return out;
  }
  out.removed += matched;
  (void)client.run({"rmdirs", request.source, "--leave-root"});
  return out;
}

}  // namespace

GuardedRemoval removeTransferredSource(const RcloneClient& client,
                                       const SourceRemovalRequest& request, FileOperations& files) {
  if (isRemotePath(request.source)) return removeCheckedRemote(client, request);
  if (isRemotePath(request.destination)) return removeAgainstDigests(client, request, files);
  const fs::path source = fs::path(request.source).lexically_normal();
  const fs::path destination = fs::path(request.destination).lexically_normal();
  // rclone copies a single file into the destination folder.
  const bool file = !fs::is_directory(fs::symlink_status(source));
  GuardedRemoval out =
      removeVerifiedTree(source, file ? destination / source.filename() : destination,
                         ReplaceGuard({.copyStarted = request.copyStarted}), files);
  // A file without its copy that was made or changed since the copy began
  // is new rather than refused: another copy takes it.
  std::erase_if(out.unmatched, [&](const std::string& rel) {
    struct stat st {};
    const fs::path path = rel == "." ? source : source / rel;
    if (lstat(path.c_str(), &st) != 0 ||
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec <
            nanos(request.copyStarted)) {
      return false;
    }
    out.changed.push_back(rel);
    return true;
  });
  return out;
}

std::optional<bool> sourceEmptied(const RcloneClient& client, const std::string& source) {
  if (!isRemotePath(source)) {
    struct stat st {};
    if (lstat(source.c_str(), &st) == 0) return false;
    return errno == ENOENT ? std::optional<bool>(true) : std::nullopt;
  }
  auto listed = client.run({"lsjson", "-R", "--files-only", source});
  if (!listed) return std::nullopt;
  if (listed->status != 0) {
    if (listed->err.find("directory not found") != std::string::npos) return true;
    return std::nullopt;
  }
  auto entries = parseLsjson(listed->out);
  if (!entries) return std::nullopt;
  return entries->empty();
}

}  // namespace brimvale::cloud
