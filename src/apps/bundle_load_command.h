// One dependency of one of an app's binaries and how it depends on where the bundle lies: the
// bundle scan produces these and classification, the move record and the health checks read them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::apps {

// Persisted by its raw text.
enum class LoadPathKind { kRelativeOK, kSystemAbsolute, kHardcodedAppPath, kUnsupportedAbsolute };

[[nodiscard]] std::string_view loadPathKindRaw(LoadPathKind kind);
// How `loadPath` depends on where `bundle` lies: relative (`@rpath` and friends), inside the
// bundle's current absolute path, in a system folder, or elsewhere.
[[nodiscard]] LoadPathKind classifyLoadPath(std::string_view loadPath,
                                            const std::filesystem::path& bundle);

struct BundleLoadCommand {
  std::string binaryRelativePath;  // the binary, relative to the bundle
  std::string loadPath;            // as the binary names it
  LoadPathKind kind = LoadPathKind::kRelativeOK;

  bool operator==(const BundleLoadCommand&) const = default;
};

// The commands of `kind` among `commands`, in their order.
[[nodiscard]] std::vector<BundleLoadCommand> loadCommandsOfKind(
    const std::vector<BundleLoadCommand>& commands, LoadPathKind kind);

}  // namespace brimvale::apps
