#include "app/core/remote_folder_edits.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include <nlohmann/json.hpp>

#include "common/base/stop_point.h"
#include "common/base/timestamps.h"
#include "common/base/yes_answer.h"

namespace brimvale::app {

namespace {

// NAME:PATH split where the browser needs it: the remote, the path inside it
// without a trailing '/', and that path's last name and its folder.
struct Target {
  std::string remote;
  std::string path;
  std::string parent;
  std::string leaf;
};

std::optional<Target> targetOf(const std::string& text) {
  if (!cloud::isRemotePath(text)) return std::nullopt;
  Target t;
  const auto colon = text.find(':');
  t.remote = text.substr(0, colon);
  t.path = text.substr(colon + 1);
  while (t.path.size() > 1 && t.path.back() == '/') t.path.pop_back();
  if (t.path.empty() || t.path == "/") return std::nullopt;
  const auto slash = t.path.rfind('/');
  t.leaf = slash == std::string::npos ? t.path : t.path.substr(slash + 1);
  t.parent = slash == std::string::npos ? "" : slash == 0 ? "/" : t.path.substr(0, slash);
  return t;
}

// A file written this recently may still be being written.
constexpr std::time_t kSettledAfterSeconds = 10;

// An item as rclone describes it: what must still hold when it is deleted.
struct Seen {
  std::int64_t size = -1;
  std::string modTime;
  bool operator==(const Seen&) const = default;
};

// `lsjson --stat` of one item; nothing when it is not there or cannot be read.
std::optional<Seen> look(const cloud::RcloneClient& client, const std::string& target) {
  auto stat = client.run({"lsjson", "--stat", target});
  if (!stat || stat->status != 0) return std::nullopt;
  const auto item = nlohmann::json::parse(stat->out, nullptr, false);
  if (!item.is_object()) return std::nullopt;
  return Seen{.size = item.value("Size", std::int64_t{-1}),
              .modTime = item.value("ModTime", std::string())};
}

// rclone's "2026-12-08T08:58:36.613121565Z" (or "+01:00") in whole seconds.
std::optional<std::time_t> secondsOf(const std::string& modTime) {
  if (modTime.size() < 20) return std::nullopt;
  auto at = parseIsots(modTime.substr(0, 19) + "Z");
  std::size_t zone = 19;
  if (modTime[zone] == '.') zone = modTime.find_first_not_of("0123456789", zone + 1);
  if (!at || zone == std::string::npos) return std::nullopt;
  if (modTime.compare(zone, std::string::npos, "Z") == 0) return at;
  int hours = 0, minutes = 0;
  char sign = 0;
  if (std::sscanf(modTime.c_str() + zone, "%c%2d:%2d", &sign, &hours, &minutes) != 3 ||
      (sign != '+' && sign != '-'))
    return std::nullopt;
  const std::time_t offset = hours * 3600 + minutes * 60;
  return sign == '+' ? *at - offset : *at + offset;
}

bool justWritten(const Seen& seen) {
  const auto at = secondsOf(seen.modTime);
  const std::time_t age = at ? std::time(nullptr) - *at : 0;
  return at && age >= 0 && age < kSettledAfterSeconds;
}

bool agreed(RemoteFolderEdit& e, const std::string& question, const std::string& target) {
  if (e.yes) return true;
  if (!e.interactive || !e.in) {
    e.out << "Nothing was deleted. Run it again with --yes to delete " << target << ".\n";
    return false;
  }
  e.out << question << " [y/N] " << std::flush;
  if (readsYes(*e.in)) return true;
  e.out << "Nothing was deleted.\n";
  return false;
}

}  // namespace

int makeRemoteFolder(RemoteFolderEdit& e, const std::string& target) {
  const auto t = targetOf(target);
  if (!t) {
    e.err << "Give the new folder's path after the remote name, as in NAME:photos/2024. "
             "Nothing was created.\n";
    return 2;
  }
  auto made = e.client.makeFolder(t->remote, t->path);
  if (!made) {
    // A marker that could not be written still leaves the folder: the
    // sentence says so itself.
    const bool folderMade = made.error().detail.starts_with("Folder created;");
    e.err << made.error().detail << (folderMade ? "\n" : "\nNothing was created.\n");
    return 1;
  }
  e.out << "Created the folder " << target << ".\n";
  return 0;
}

int deleteRemoteItem(RemoteFolderEdit& e, const std::string& target) {
  const auto t = targetOf(target);
  if (!t) {
    e.err << "Give the path of one file or one empty folder after the remote name; Brimvale "
             "never deletes a whole remote. Nothing was deleted.\n";
    return 2;
  }
  auto siblings = e.client.listRcloneEntries(t->remote + ":" + t->parent);
  if (!siblings && siblings.error().detail.find("directory not found") == std::string::npos) {
    e.err << siblings.error().detail << "\nNothing was deleted.\n";
    return 1;
  }
  const auto found =
      siblings
          ? std::find_if(siblings->begin(), siblings->end(),
                         [&](const cloud::RcloneEntry& entry) { return entry.name == t->leaf; })
          : std::vector<cloud::RcloneEntry>::iterator{};
  if (!siblings || found == siblings->end()) {
    e.out << "There is nothing at " << target << ", so nothing was deleted.\n";
    return 0;
  }

  if (!found->isDir) {
    const auto seen = look(e.client, target);
    if (!seen || justWritten(*seen)) {
      e.err << target << " was changed in the last few seconds and may still be being written, "
            << "so Brimvale left it alone. Nothing was deleted; try again once it has settled.\n";
      return 1;
    }
    if (!agreed(e, "Delete the file " + target + "? It cannot be brought back.", target)) return 1;
    stopPoint("remote-delete:agreed");
    // What the user agreed to delete, and nothing written since.
    if (look(e.client, target) != seen) {
      e.err << target << " changed after Brimvale looked at it, so it was left alone. Nothing "
            << "was deleted; look at it again before deleting it.\n";
      return 1;
    }
    if (auto deleted = e.client.deleteFile(t->remote, t->path); !deleted) {
      e.err << deleted.error().detail << "\nThe file is still there.\n";
      return 1;
    }
    e.out << "Deleted " << target << ".\n";
    return 0;
  }

  auto inside = e.client.listRcloneEntries(t->remote + ":" + t->path);
  if (!inside) {
    e.err << inside.error().detail << "\nNothing was deleted.\n";
    return 1;
  }
  const bool marked = std::any_of(inside->begin(), inside->end(), [](const auto& entry) {
    return entry.name == cloud::kFolderMarkerName;
  });
  const auto held = inside->size() - (marked ? 1 : 0);
  if (held > 0) {
    e.err << target << " holds " << held << (held == 1 ? " item" : " items")
          << "; Brimvale deletes only an empty folder. Nothing was deleted: empty it first.\n";
    return 1;
  }
  if (!agreed(e, "Delete the empty folder " + target + "?", target)) return 1;
  stopPoint("remote-delete:agreed");
  if (marked) {
    // Only Brimvale's own marker goes, as Brimvale wrote it; anything put in
    // the folder or the marker since keeps the folder.
    const std::string marker = target + "/" + std::string(cloud::kFolderMarkerName);
    const auto seen = look(e.client, marker);
    auto now = e.client.listRcloneEntries(t->remote + ":" + t->path);
    if (!seen || seen->size != static_cast<std::int64_t>(cloud::kFolderMarkerContent.size()) ||
        !now || now->size() != 1) {
      e.err << target << " changed after Brimvale looked at it, so it was left alone. Nothing "
            << "was deleted; look at it again before deleting it.\n";
      return 1;
    }
    if (auto unmarked =
            e.client.deleteFile(t->remote, t->path + "/" + std::string(cloud::kFolderMarkerName));
        !unmarked) {
      e.err << unmarked.error().detail << "\nThe folder is still there.\n";
      return 1;
    }
  }
  // rmdir, not purge: should something arrive in the folder after the look
  // above, rclone refuses rather than deleting it.
  auto removed = e.client.run({"rmdir", t->remote + ":" + t->path});
  if (!removed) {
    e.err << removed.error().detail << "\nThe folder is still there.\n";
    return 1;
  }
  if (removed->status != 0) {
    const std::string said = removed->err.empty() ? removed->out : removed->err;
    if (said.find("directory not found") == std::string::npos) {
      e.err << "rclone refused to delete the item.\n\n"
            << said << (said.ends_with('\n') ? "" : "\n") << "The folder is still there, with "
            << "anything put into it since.\n";
      return 1;
    }
  }
  e.out << "Deleted " << target << ".\n";
  return 0;
}

}  // namespace brimvale::app
