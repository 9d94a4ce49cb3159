#include "common/state/parked_names.h"

#include <algorithm>

#include "common/base/walk_below.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// Where the parked suffix starts in `name`; npos when it is not a parked name.
std::size_t suffixAt(std::string_view name) {
  if (name.ends_with(kParkedSuffix)) return name.size() - kParkedSuffix.size();
  const std::size_t at = name.rfind(std::string(kParkedSuffix) + ".");
  if (at == std::string_view::npos) return std::string_view::npos;
  const std::string_view digits = name.substr(at + kParkedSuffix.size() + 1);
  const bool stamped =
      !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
  return stamped ? at : std::string_view::npos;
}

}  // namespace

bool isParkedName(std::string_view name) { return suffixAt(name) != std::string_view::npos; }

std::optional<fs::path> relocatedPathOf(const fs::path& parked) {
  const std::string name = parked.filename().string();
  const std::size_t at = suffixAt(name);
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  return parked.parent_path() / name.substr(0, at);
}

std::vector<fs::path> findParkedOriginals(const fs::path& home) {
  std::vector<fs::path> found;
  // Unreadable folders are passed over: nothing can be done with what they hold.
  (void)walkBelow(home, {.maxDepth = 6}, [&](const WalkEntry& e) {
    if (!isParkedName(e.name)) return WalkStep::kContinue;
    found.push_back(e.path);
    return WalkStep::kDoNotEnter;
  });
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace brimvale
