#include "platform/trash_mover.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "common/base/timestamps.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;

#ifdef __APPLE__
constexpr bool kFreedesktopTrash = false;
#else
constexpr bool kFreedesktopTrash = true;
#endif

std::optional<dev_t> deviceOf(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_dev;
}

// The nearest folder at or above `path` that exists.
fs::path existingAncestor(fs::path path) {
  std::error_code ec;
  while (!path.empty() && path != path.root_path() && !fs::exists(path, ec)) {
    path = path.parent_path();
  }
  return path.empty() ? fs::path("/") : path;
}

// The top folder of the volume holding `folder`.
fs::path volumeTop(fs::path folder, dev_t device) {
  while (folder != folder.root_path()) {
    const auto parent = folder.parent_path();
    if (deviceOf(parent) != device) break;
    folder = parent;
  }
  return folder;
}

// Makes `folder` readable by the user alone unless it is there; something
// else in its place (a link, a file) is refused, so nothing goes through it.
Result<void> ownFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0) return {};
  if (errno != EEXIST) return std::unexpected(errnoError("create " + folder.string(), errno));
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    return std::unexpected(errnoError("look at " + folder.string(), errno));
  }
  if (!S_ISDIR(st.st_mode)) return fail(Errc::kIo, folder.string() + " is not a folder");
  return {};
}

// The Trash at the top of another volume. A shared `.Trash` is used only
// when it is sticky (no user can take another's folder) and not a link.
fs::path topTrash(const fs::path& top, uid_t uid) {
  const std::string user = std::to_string(uid);
  if (!kFreedesktopTrash) return top / ".Trashes" / user;
  struct stat st {};
  const fs::path shared = top / ".Trash";
  if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    return shared / user;
  }
  return top / (".Trash-" + user);
}

std::string percentEncoded(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

TrashPlaces trashPlacesFor(const fs::path& home, std::string_view xdgDataHome) {
  if (!kFreedesktopTrash) return TrashPlaces{home / ".Trash", ::getuid()};
  const fs::path dataHome(xdgDataHome);
  return TrashPlaces{(dataHome.is_absolute() ? dataHome : home / ".local/share") / "Trash",
                     ::getuid()};
}

TrashPlaces hostTrashPlaces(const fs::path& home) {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  return trashPlacesFor(home, dataHome ? dataHome : "");
}

Result<fs::path> moveToTrash(const fs::path& path, const TrashPlaces& places, std::time_t now,
                             FileOperations& files) {
  const fs::path item = fs::absolute(path).lexically_normal();
  const auto device = deviceOf(item);
  if (!device) return std::unexpected(errnoError("look at " + item.string(), errno));
  const fs::path parent = item.parent_path();

  fs::path trash = places.homeTrash;
  std::string recordedPath = item.string();
  if (deviceOf(existingAncestor(places.homeTrash)) != device) {
    const fs::path top = volumeTop(parent, *device);
    trash = topTrash(top, places.uid);
    recordedPath = item.lexically_relative(top).string();
  }
  if (auto ec = files.createDirectories(trash.parent_path())) {
    return std::unexpected(errnoError("create " + trash.parent_path().string(), ec.value()));
  }
  if (auto made = ownFolder(trash); !made) return std::unexpected(made.error());
  const fs::path filesFolder = kFreedesktopTrash ? trash / "files" : trash;
  const fs::path infoFolder = trash / "info";
  if (auto ec = files.createDirectories(filesFolder)) {
    return std::unexpected(errnoError("create " + filesFolder.string(), ec.value()));
  }
  if (kFreedesktopTrash) {
    if (auto ec = files.createDirectories(infoFolder)) {
      return std::unexpected(errnoError("create " + infoFolder.string(), ec.value()));
    }
  }

  const std::string leaf = item.filename().string();
  for (int n = 1; n < 10000; ++n) {
    const std::string name = n == 1 ? leaf : leaf + " " + std::to_string(n);
    const fs::path target = filesFolder / name;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec))) continue;
    fs::path info;
    if (kFreedesktopTrash) {
      // The record claims the name first, so two movers never share it.
      info = infoFolder / (name + ".trashinfo");
      if (auto claim = files.createExclusively(info, ClaimKind::kFile)) {
        if (claim == std::errc::file_exists) continue;
        return std::unexpected(errnoError("create " + info.string(), claim.value()));
      }
      const std::string text = "[Trash Info]\nPath=" + percentEncoded(recordedPath) +
                               "\nDeletionDate=" + formatLocal(now, "%Y-%m-%dT%H:%M:%S") + "\n";
      if (auto written = writeFileAtomically(info, text); !written) {
        (void)files.remove(info);
        return std::unexpected(written.error());
      }
    }
    stopPoint("trash:recorded");
    if (auto moved = files.renameNoReplace(item, target)) {
      if (!info.empty()) (void)files.remove(info);
      if (moved == std::errc::file_exists) continue;
      // The Trash must be on the item's own volume: a copy is never made instead.
      if (moved == std::errc::cross_device_link) {
        return fail(Errc::kIo, item.string() + " lies on another volume than " + trash.string());
      }
      return std::unexpected(errnoError("move " + item.string() + " to the Trash", moved.value()));
    }
    return target;
  }
  return fail(Errc::kIo, "the Trash has no free name for " + leaf);
}

}  // namespace brimvale::platform
