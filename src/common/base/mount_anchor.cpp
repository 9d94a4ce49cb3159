#include "common/base/mount_anchor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace brimvale {
namespace {

// Mount ids are handed out again once a mount is gone; the unique id
// (Linux 6.8 and later) never is, so a drive unplugged and mounted again
// is told apart from the mount a job began on.
#ifndef STATX_MNT_ID_UNIQUE
constexpr unsigned kMountIdUnique = 0x4000U;
#else
constexpr unsigned kMountIdUnique = STATX_MNT_ID_UNIQUE;
#endif

}  // namespace

std::optional<MountAnchor::Seen> MountAnchor::look(const std::filesystem::path& path) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
            STATX_BASIC_STATS | STATX_MNT_ID | kMountIdUnique, &sx) != 0)
    return std::nullopt;
  Seen seen;
  seen.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  if (sx.stx_mask & (STATX_MNT_ID | kMountIdUnique)) seen.mountId = sx.stx_mnt_id;
  if (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) {
    seen.mountRoot = (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  } else {
    // Older kernels: a mount root sits on another device than its parent.
    struct stat parent {};
    seen.mountRoot = stat((path / "..").c_str(), &parent) == 0 && parent.st_dev != seen.device;
  }
  return seen;
}

std::optional<MountAnchor> MountAnchor::take(const std::filesystem::path& mountPath) {
  auto seen = look(mountPath);
  if (!seen || !seen->mountRoot) return std::nullopt;
  MountAnchor anchor;
  anchor.mountPath_ = mountPath;
  anchor.seen_ = *seen;
  return anchor;
}

bool MountAnchor::holds(const std::filesystem::path& inside) const {
  auto now = look(mountPath_);
  if (!now || !now->mountRoot || now->device != seen_.device || now->mountId != seen_.mountId)
    return false;
  if (inside.empty()) return true;
  struct stat st {};
  return stat(inside.c_str(), &st) == 0 && st.st_dev == seen_.device;
}

}  // namespace brimvale
