#include "app/uninstall_relocations.h"

#include <algorithm>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "mover/manifest.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;

// Compared as written, then resolved, so a link written through another
// spelling of the drive's path still counts.
bool linksTo(const fs::path& link, const fs::path& copy) {
  auto target = readSymlink(link);
  if (!target) return false;
  const fs::path absolute = target->is_absolute() ? *target : link.parent_path() / *target;
  if (absolute.lexically_normal() == copy.lexically_normal()) return true;
  auto resolvedTarget = weaklyCanonical(absolute);
  auto resolvedCopy = weaklyCanonical(copy);
  return resolvedTarget && resolvedCopy && *resolvedTarget == *resolvedCopy;
}

bool listed(const std::vector<StillRelocated>& items, const fs::path& original) {
  return std::any_of(items.begin(), items.end(),
                     [&](const StillRelocated& i) { return i.original == original; });
}

// Action log rows: "{time}\t{action}\t{src}\t{dest}\t{bytes}", fields escaped.
std::vector<StillRelocated> serviceRelocations(const StatePaths& paths) {
  std::vector<StillRelocated> rows;
  auto text = readFile(paths.actions);
  if (!text) return rows;
  for (std::string_view line : splitLines(*text)) {
    const auto fields = splitTsv(line);
    if (fields.size() < 4 || fields[1] != "relocate") continue;
    StillRelocated row{"", unescapedLineField(fields[2]), unescapedLineField(fields[3])};
    std::erase_if(rows, [&](const StillRelocated& r) { return r.original == row.original; });
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

std::vector<StillRelocated> readStillRelocated(const StatePaths& paths) {
  std::vector<StillRelocated> items;
  // The store creates its folder; where there is none there is nothing to read.
  if (isDirectory(paths.state / "folder-moves").value_or(false)) {
    const mover::ManifestStore store(paths.state, {}, systemClock());
    for (const auto& m : store.all()) {
      if (m.phase != mover::MovePhase::kDone || listed(items, m.src)) continue;
      if (!linksTo(m.src, m.finalDst)) continue;
      items.push_back({m.id, m.src, m.finalDst});
    }
  }
  for (auto& row : serviceRelocations(paths)) {
    if (listed(items, row.original) || !linksTo(row.original, row.copy)) continue;
    items.push_back(std::move(row));
  }
  return items;
}

}  // namespace brimvale::app
