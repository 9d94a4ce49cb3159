#include "mover/relocation_discovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

#include "common/base/file_calls.h"
#include "common/state/path_policy.h"
#include "mover/link_census.h"
#include "mover/verification.h"

namespace brimvale::mover {
namespace fs = std::filesystem;

std::string scanDiagnosticText(const ScanDiagnostic& d) {
  if (d.mountPath.empty())
    return "No drive is known: none is chosen, or the configuration can't be read.";
  if (!d.driveMounted) return "NVMe drive not mounted at " + d.mountPath.string() + ".";
  if (!d.folderExists) {
    return "NVMe mounted at " + d.mountPath.string() + ", but " + d.folderName +
           " doesn't exist on it. The discovery walk needs that folder — re-pair the drive via "
           "the wizard.";
  }
  if (d.walkedFolders.empty()) return "none of Home/System/Other/Relocated present";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", d.seconds);
  std::string names;
  for (const auto& n : d.walkedFolders) names += (names.empty() ? "" : ", ") + n;
  std::string text = "Scanned in " + std::string(seconds) + "s · " +
                     std::to_string(d.walkedFolders.size()) + " NVMe dirs walked (" + names +
                     ") · " + std::to_string(d.active) + " active, " + std::to_string(d.orphaned) +
                     " orphaned";
  if (d.timedOut) text += " · timed out — re-scan to continue";
  return text;
}

namespace {

// A copy in a layout folder and the original location that leads to it, once found.
struct Copy {
  fs::path path;
  std::optional<fs::path> source;
  bool listed = false;  // found on the drive, not only named by a link
};

// The copy a link's target lies in: {working}/{layout folder}/{name}, or
// nothing when the target is elsewhere in the working folder.
std::optional<fs::path> copyOf(const fs::path& target, const fs::path& working) {
  const fs::path below = target.lexically_relative(working);
  auto part = below.begin();
  if (below.empty() || part == below.end()) return std::nullopt;
  const std::string layout = part->string();
  if (std::find(kLayoutFolders.begin(), kLayoutFolders.end(), layout) == kLayoutFolders.end() ||
      ++part == below.end()) {
    return std::nullopt;
  }
  return working / layout / *part;
}

// The original location a link stands for: the link itself when it leads to
// the copy, else the folder whose per-file link it is (its path with the part
// below the copy taken off). Nothing when the paths do not line up.
std::optional<fs::path> sourceOf(const fs::path& link, const fs::path& target,
                                 const fs::path& copy) {
  if (target == copy) return link;
  const fs::path below = target.lexically_relative(copy);
  fs::path source = link;
  for (auto part = below.begin(); part != below.end(); ++part) source = source.parent_path();
  if ((source / below).lexically_normal() != link.lexically_normal()) return std::nullopt;
  return source;
}

MoveManifest builtFromDisk(const fs::path& source, const fs::path& copy) {
  MoveManifest m;
  m.id = newUuid();
  m.src = source.string();
  m.dstParent = copy.parent_path().string();
  m.finalDst = copy.string();
  m.phase = MovePhase::kDone;
  m.replaceSourceWithSymlink = true;
  m.srcSizeKB = apparentSizeKB(copy).value_or(0);
  struct stat st {};
  if (lstat(copy.c_str(), &st) == 0) {
    m.startedAt = m.updatedAt = st.st_mtime;
    m.completedAt = st.st_mtime;
  }
  return m;
}

}  // namespace

ScanResult discoverRelocations(const DiscoveryInputs& in) {
  const auto started = std::chrono::steady_clock::now();
  ScanResult result;
  ScanDiagnostic& d = result.diagnostic;
  d.mountPath = in.mountPath;
  d.folderName = in.workingFolder.filename().string();
  d.driveMounted = in.isMounted ? in.isMounted(in.mountPath) : fs::is_directory(in.mountPath);
  d.folderExists = d.driveMounted && isDirectory(in.workingFolder).value_or(false);
  const fs::path working =
      normalisedAbsolute(in.workingFolder.string()).value_or(in.workingFolder.lexically_normal());

  std::vector<Copy> copies;
  if (d.folderExists) {
    for (const auto layout : kLayoutFolders) {
      const fs::path folder = working / layout;
      if (!isDirectory(folder).value_or(false)) continue;
      d.walkedFolders.emplace_back(layout);
      std::error_code ec;
      for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        copies.push_back({it->path().lexically_normal(), std::nullopt, true});
    }
  }

  // Links are looked for with the drive away too: their relocations are not
  // gone, only out of reach, and the list must still show them.
  const LinksInto found = linksInto(in.home, working, {.deadline = started + in.budget});
  d.timedOut = found.timedOut;
  d.unreadable = found.unreadable.size();
  for (const auto& link : found.links) {
    const auto copy = copyOf(link.target, working);
    if (!copy) continue;
    auto it =
        std::find_if(copies.begin(), copies.end(), [&](const Copy& c) { return c.path == *copy; });
    if (it == copies.end()) it = copies.insert(copies.end(), Copy{*copy, std::nullopt, false});
    if (!it->source) it->source = sourceOf(link.link, link.target, it->path);
  }

  for (const auto& copy : copies) {
    if (!copy.source) {
      if (copy.listed) ++d.orphaned;
      continue;
    }
    if (copy.listed) ++d.active;
    RelocatedItem item{builtFromDisk(*copy.source, copy.path), Integrity::kOk, true};
    item.integrity = classify(item.manifest, in.workingFolder);
    result.items.push_back(std::move(item));
  }
  d.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

}  // namespace brimvale::mover
