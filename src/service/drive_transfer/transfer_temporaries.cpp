#include "service/drive_transfer/transfer_temporaries.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/tree_walk.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSuffix = 6;  // mkstemp's XXXXXX

bool isLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool present(const fs::path& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<std::string_view> temporaryOf(std::string_view name) {
  if (name.size() < kSuffix + 3 || name.front() != '.') return std::nullopt;
  const std::string_view suffix = name.substr(name.size() - kSuffix);
  if (name[name.size() - kSuffix - 1] != '.' ||
      !std::all_of(suffix.begin(), suffix.end(), isLetterOrDigit)) {
    return std::nullopt;
  }
  return name.substr(1, name.size() - kSuffix - 2);
}

std::vector<fs::path> removeCopyTemporaries(const fs::path& source, const fs::path& dest) {
  const OpenFolder root(dest.string());
  if (!root.isOpen()) return {};
  std::vector<fs::path> found;
  // One thread: the visits share `found`.
  (void)walkTree(
      root.fd(), 1,
      [&](unsigned, std::string_view folder, std::string_view name, const struct stat& info) {
        const auto file = temporaryOf(name);
        if (!S_ISREG(info.st_mode) || !file) return;
        const fs::path from = source / fs::path(folder);
        if (present(from / *file) && !present(from / name)) {
          found.push_back(fs::path(folder) / name);
        }
      });
  std::vector<fs::path> removed;
  for (const auto& relative : found) {
    if (removePath(dest / relative).value_or(false)) removed.push_back(relative);
  }
  return removed;
}

}  // namespace brimvale::service
