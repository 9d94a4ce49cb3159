#include "service/relocation/guards.h"

#include <array>
#include <span>
#include <string_view>

#include "common/base/file_calls.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

bool containsAny(std::string_view text, std::span<const std::string_view> needles) {
  for (std::string_view needle : needles) {
    if (text.find(needle) != std::string_view::npos) return true;
  }
  return false;
}

bool isOrIsUnder(std::string_view path, const std::string& folder) {
  return path == folder ||
         (path.starts_with(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

}  // namespace

bool Guards::desktopAndDocumentsInCloud() {
  if (!desktopAndDocuments_) {
    const fs::path cloudDocs = home_ / "Library" / "Mobile Documents" / "com~apple~CloudDocs";
    // A folder that cannot be examined counts as not synced.
    desktopAndDocuments_ = pathExists(cloudDocs / "Documents").value_or(false) ||
                           pathExists(cloudDocs / "Desktop").value_or(false);
  }
  return *desktopAndDocuments_;
}

bool Guards::isCloudPath(const std::string& path) {
  constexpr std::array<std::string_view, 6> kCloudFolders{
      "/Library/CloudStorage/", "/iCloud Drive/", "/Mobile Documents/", "/Dropbox/", "/OneDrive",
      "/Google Drive"};
  if (containsAny(path, kCloudFolders)) return true;
  if (desktopAndDocumentsInCloud() && (isOrIsUnder(path, (home_ / "Documents").string()) ||
                                       isOrIsUnder(path, (home_ / "Desktop").string()))) {
    return true;
  }
  constexpr std::array<std::string_view, 2> kResolvedCloudFolders{"/Library/Mobile Documents/",
                                                                  "/Library/CloudStorage/"};
  const auto resolved = weaklyCanonical(path);
  if (resolved && containsAny(resolved->string(), kResolvedCloudFolders)) return true;
  return files_.isDataless(path);
}

}  // namespace brimvale::service
