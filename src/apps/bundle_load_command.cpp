#include "apps/bundle_load_command.h"

#include <algorithm>
#include <array>
#include <utility>

namespace brimvale::apps {
namespace {

using KindRow = std::pair<LoadPathKind, std::string_view>;
constexpr std::array<KindRow, 4> kLoadPathKinds{{
    {LoadPathKind::kRelativeOK, "relativeOK"},
    {LoadPathKind::kSystemAbsolute, "systemAbsolute"},
    {LoadPathKind::kHardcodedAppPath, "hardcodedAppPath"},
    {LoadPathKind::kUnsupportedAbsolute, "unsupportedAbsolute"},
}};

}  // namespace

std::string_view loadPathKindRaw(LoadPathKind kind) {
  return std::ranges::find(kLoadPathKinds, kind, &KindRow::first)->second;
}

LoadPathKind classifyLoadPath(std::string_view loadPath, const std::filesystem::path& bundle) {
  for (std::string_view prefix : {"@executable_path", "@rpath", "@loader_path"})
    if (loadPath.starts_with(prefix)) return LoadPathKind::kRelativeOK;
  std::string bundlePrefix = bundle.string();
  if (!bundlePrefix.ends_with('/')) bundlePrefix += '/';
  if (loadPath.starts_with(bundlePrefix)) return LoadPathKind::kHardcodedAppPath;
  for (std::string_view prefix : {"/System/", "/Library/", "/usr/lib/", "/usr/local/"})
    if (loadPath.starts_with(prefix)) return LoadPathKind::kSystemAbsolute;
  return LoadPathKind::kUnsupportedAbsolute;
}

std::vector<BundleLoadCommand> loadCommandsOfKind(const std::vector<BundleLoadCommand>& commands,
                                                  LoadPathKind kind) {
  std::vector<BundleLoadCommand> found;
  std::ranges::copy_if(commands, std::back_inserter(found),
                       [kind](const BundleLoadCommand& c) { return c.kind == kind; });
  return found;
}

}  // namespace brimvale::apps
