#include "cloud/transfer_anchor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cloud/rclone_client.h"
#include "common/base/guarded_removal.h"
#include "common/base/walk_below.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;

namespace {

fs::path standardised(const fs::path& path) {
  fs::path p = path.lexically_normal();
  if (p.has_parent_path() && p.filename().empty()) p = p.parent_path();  // "/a/b/" -> "/a/b"
  return p;
}

bool isUnder(const fs::path& path, const fs::path& root) {
  const fs::path p = standardised(path);
  const fs::path r = standardised(root);
  return std::mismatch(r.begin(), r.end(), p.begin(), p.end()).first == r.end();
}

// `path`, or the nearest folder above it (not above `stop`) that exists.
fs::path nearestExisting(fs::path path, const fs::path& stop) {
  struct stat st {};
  while (lstat(path.c_str(), &st) != 0 && path != stop && path.has_relative_path())
    path = path.parent_path();
  return path;
}

std::size_t filesUnder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return fs::exists(folder, ec) ? 1 : 0;
  std::size_t files = 0;
  // A count to show; what cannot be read is not in it.
  (void)walkBelow(folder, {}, [&](const WalkEntry& e) {
    if (e.type != DT_DIR) ++files;
    return WalkStep::kContinue;
  });
  return files;
}

}  // namespace

std::vector<fs::path> driveSides(const SyncJob& job, const std::string& mountPath) {
  std::vector<fs::path> sides;
  if (mountPath.empty()) return sides;
  for (const auto* side : {&job.source, &job.destination}) {
    if (!isRemotePath(*side) && isUnder(*side, mountPath)) sides.push_back(standardised(*side));
  }
  return sides;
}

std::optional<TransferAnchor> TransferAnchor::take(const fs::path& mountPath,
                                                   std::vector<fs::path> sides) {
  auto anchor = MountAnchor::take(standardised(mountPath));
  if (!anchor) return std::nullopt;
  TransferAnchor held(std::move(*anchor), std::move(sides));
  if (!held.holds()) return std::nullopt;
  return held;
}

bool TransferAnchor::holds() const {
  if (!anchor_.holds()) return false;
  return std::all_of(sides_.begin(), sides_.end(), [&](const fs::path& side) {
    return anchor_.holds(nearestExisting(side, anchor_.mountPath()));
  });
}

std::optional<StrandedWrites> TransferAnchor::clearStranded(const SyncJob& job) const {
  const fs::path mount = anchor_.mountPath();
  struct stat disk {};
  struct stat st {};
  if (isRemotePath(job.destination) || !isUnder(job.destination, mount) || anchor_.holds() ||
      stat(mount.parent_path().c_str(), &disk) != 0)
    return std::nullopt;
  const fs::path written = standardised(job.destination);
  if (lstat(written.c_str(), &st) != 0 || st.st_dev != disk.st_dev) return std::nullopt;
  if (!isRemotePath(job.source) && !isUnder(job.source, mount)) {
    const fs::path source = standardised(job.source);
    const bool fileSource = !fs::is_directory(fs::symlink_status(source));
    (void)removeVerifiedTree(fileSource ? written / source.filename() : written, source,
                             ReplaceGuard());
    // The folders rclone made on the way there, once empty.
    for (fs::path up = written; up != mount && isUnder(up, mount); up = up.parent_path()) {
      if (rmdir(up.c_str()) != 0 && errno != ENOENT) break;
    }
  }
  return StrandedWrites{.folder = written, .left = filesUnder(written)};
}

}  // namespace brimvale::cloud
