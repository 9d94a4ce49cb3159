#include "service/relocation/guards.h"

#include <array>
#include <span>
#include <string_view>

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
    std::error_code ec;
    desktopAndDocuments_ =
        fs::exists(cloudDocs / "Documents", ec) || fs::exists(cloudDocs / "Desktop", ec);
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
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  if (!ec && containsAny(resolved.string(), kResolvedCloudFolders)) return true;
  return files_.isDataless(path);
}

}  // namespace brimvale::service
