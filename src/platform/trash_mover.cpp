#include "platform/trash_mover.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>
#include <string>

#include "common/base/file_io.h"
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

TrashPlaces hostTrashPlaces(const fs::path& home) {
  return TrashPlaces{kFreedesktopTrash ? home / ".local/share/Trash" : home / ".Trash", ::getuid()};
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
    trash = kFreedesktopTrash ? top / (".Trash-" + std::to_string(places.uid))
                              : top / ".Trashes" / std::to_string(places.uid);
    recordedPath = item.lexically_relative(top).string();
  }
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
    if (auto moved = files.renameNoReplace(item, target)) {
      if (!info.empty()) (void)files.remove(info);
      if (moved == std::errc::file_exists) continue;
      return std::unexpected(errnoError("move " + item.string() + " to the Trash", moved.value()));
    }
    return target;
  }
  return fail(Errc::kIo, "the Trash has no free name for " + leaf);
}

}  // namespace brimvale::platform
