#include "mover/switch_links.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "common/base/folder_walk.h"
#include "common/base/stop_point.h"
#include "common/base/walk_below.h"
#include "mover/relink.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> storedTarget(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  if (ec) return std::nullopt;
  return target.is_absolute() ? target : (link.parent_path() / target).lexically_normal();
}

void consider(const fs::path& link, const SwitchRoute& route, LinksFound& found) {
  auto target = storedTarget(link);
  if (!target) return;
  auto translated = translatedPath(*target, route.oldWorking, route.newWorking);
  if (!translated) return;
  // A link that dangles on the old drive too is moved over as it is; one
  // whose file is there must find its copy on the new drive.
  std::error_code ec;
  if (!found.missingCopy && fs::exists(fs::symlink_status(*target, ec)) &&
      !fs::exists(fs::symlink_status(*translated, ec))) {
    found.missingCopy = link;
  }
  found.updates.push_back({link, *translated, *target});
}

}  // namespace

LinksFound collectLinks(const std::vector<fs::path>& places, const SwitchRoute& route) {
  LinksFound found;
  for (const auto& place : places) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(place, ec);
    if (fs::is_symlink(st)) {
      consider(place, route, found);
      continue;
    }
    if (!fs::is_directory(st)) continue;
    // A folder that cannot be read is passed over; below the home folder the
    // drive switch has already required a walk that read every folder.
    for (const FoundLink& link : findLinksUnder(place).links) consider(link.link, route, found);
  }
  std::sort(found.updates.begin(), found.updates.end(),
            [](const LinkUpdate& a, const LinkUpdate& b) { return a.link < b.link; });
  found.updates.erase(std::unique(found.updates.begin(), found.updates.end()), found.updates.end());
  return found;
}

bool parentWritable(const fs::path& link) {
  return faccessat(AT_FDCWD, link.parent_path().c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

SwapStage swapLink(const LinkUpdate& update, FileOperations& files,
                   const DiagnosticsLog& diagnostics) {
  OpenFolder folder(update.link.parent_path().string());
  if (folder.fd() < 0) return SwapStage::kNotPrepared;
  std::string temp;
  for (int attempt = 0;; ++attempt) {
    temp = temporaryLinkName();
    const std::error_code made = files.symlinkAt(update.newTarget.string(), folder.fd(), temp);
    if (!made) break;
    if (made != std::errc::file_exists || attempt == 7) return SwapStage::kNotPrepared;
  }
  stopPoint("switch:link-prepared");
  // Only the link found may be replaced: a real file the user put at its
  // name meanwhile is theirs, and is left with the link not made.
  const std::string name = update.link.filename().string();
  const auto now = storedTarget(update.link);
  const bool anyLink = update.oldTarget.empty();
  if (!now || (!anyLink && *now != update.oldTarget && *now != update.newTarget)) {
    bestEffort(files.unlinkAt(folder.fd(), temp), diagnostics,
               "removing the temporary link " + temp);
    return SwapStage::kReplacedMeanwhile;
  }
  if (files.renameAt(folder.fd(), temp, name)) {
    bestEffort(files.unlinkAt(folder.fd(), temp), diagnostics,
               "removing the temporary link " + temp);
    return SwapStage::kNotSwapped;
  }
  stopPoint("switch:link-swapped");
  std::error_code ec;
  return fs::read_symlink(update.link, ec) == update.newTarget && !ec ? SwapStage::kDone
                                                                      : SwapStage::kNotSwapped;
}

int removeSwapLeftovers(const std::vector<LinkUpdate>& updates, const SwitchRoute& route,
                        FileOperations& files, const DiagnosticsLog& diagnostics) {
  std::set<fs::path> folders;
  for (const auto& u : updates) folders.insert(u.link.parent_path());
  int removed = 0;
  for (const auto& folder : folders) {
    OpenFolder open(folder.string());
    if (open.fd() < 0) continue;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!it->is_symlink(ec)) continue;
      auto target = storedTarget(it->path());
      if (!target || !isRelinkLeftover(name, target->string(), route.newWorking)) continue;
      if (bestEffort(files.unlinkAt(open.fd(), name), diagnostics,
                     "removing the temporary link " + it->path().string())) {
        ++removed;
      }
    }
  }
  return removed;
}

bool pointsAt(const fs::path& link, const fs::path& target) {
  std::error_code ec;
  return fs::read_symlink(link, ec) == target && !ec && fs::exists(fs::symlink_status(target, ec));
}

}  // namespace brimvale::mover
