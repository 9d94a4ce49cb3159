#include "mover/relocated_item.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "common/base/file_calls.h"
#include "common/base/walk_below.h"
#include "mover/link_census.h"

namespace brimvale::mover {
namespace fs = std::filesystem;

std::string_view integrityRaw(Integrity integrity) { return rawNameOf(kIntegrityNames, integrity); }

std::string_view integrityWords(Integrity integrity) {
  switch (integrity) {
    case Integrity::kOk: return "ok";
    case Integrity::kNoSymlink: return "link missing";
    case Integrity::kMissingOnDrive: return "missing on drive";
    case Integrity::kEmptyOnDrive: return "empty on drive";
    case Integrity::kUnexpectedLayout: return "unusual layout";
  }
  return "";
}

std::string_view integrityHelp(Integrity integrity) {
  switch (integrity) {
    case Integrity::kOk: return "";
    case Integrity::kNoSymlink:
      return "No symlink at the original location — data lives only on NVMe. Move back will "
             "restore it to the original path.";
    case Integrity::kMissingOnDrive:
      return "Data missing on NVMe — can't move back. Reconnect the drive or check the path "
             "manually.";
    case Integrity::kEmptyOnDrive:
      return "NVMe folder is empty. The data was likely deleted outside Brimvale.";
    case Integrity::kUnexpectedLayout:
      return "NVMe path doesn't match the expected layout — moving back will still work, but the "
             "on-disk structure may have been edited manually.";
  }
  return "";
}

bool isBroken(Integrity integrity) {
  return integrity == Integrity::kNoSymlink || integrity == Integrity::kMissingOnDrive ||
         integrity == Integrity::kEmptyOnDrive;
}

namespace {

fs::path normal(const fs::path& p) { return p.lexically_normal(); }

// Nothing but ".DS_Store" (which the file manager of some systems leaves) counts as empty.
bool holdsNothing(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != ".DS_Store") return false;
  }
  return !ec;
}

}  // namespace

bool leadsInto(const fs::path& src, const fs::path& copy) {
  return !linksInto(src, copy).links.empty();
}

std::vector<fs::path> filesWrittenSinceRelocation(const fs::path& src) {
  std::vector<fs::path> files;
  const auto status = linkStatus(src);
  if (!status || !fs::is_directory(*status)) return files;
  // A list to show the user: a folder that cannot be read adds nothing to it.
  (void)walkBelow(src, {}, [&](const WalkEntry& e) {
    if (e.type == DT_REG) files.push_back(e.path.lexically_relative(src));
    return WalkStep::kContinue;
  });
  std::sort(files.begin(), files.end());
  return files;
}

bool isLayoutPlace(const fs::path& copy, const fs::path& src, const fs::path& workingFolder) {
  const fs::path c = normal(copy);
  if (c.parent_path() != normal(workingFolder / "Relocated")) return false;
  const std::string name = c.filename().string();
  const std::string wanted = normal(src).filename().string();
  if (name == wanted) return true;
  if (!name.starts_with(wanted + ".") || name.size() == wanted.size() + 1) return false;
  return std::all_of(name.begin() + static_cast<long>(wanted.size()) + 1, name.end(),
                     [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

Integrity classify(const MoveManifest& relocation, const fs::path& workingFolder) {
  const fs::path copy(relocation.finalDst);
  const auto copyStatus = linkStatus(copy);
  const bool copyIsFolder = copyStatus && fs::is_directory(*copyStatus);
  const bool copyIsFile = copyStatus && fs::is_regular_file(*copyStatus);
  if (!copyIsFolder && !copyIsFile) return Integrity::kMissingOnDrive;
  if (copyIsFolder && holdsNothing(copy)) return Integrity::kEmptyOnDrive;
  if (!leadsInto(relocation.src, copy)) return Integrity::kNoSymlink;
  return isLayoutPlace(copy, relocation.src, workingFolder) ? Integrity::kOk
                                                            : Integrity::kUnexpectedLayout;
}

}  // namespace brimvale::mover
