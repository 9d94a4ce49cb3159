#include "apps/macho_reader_bundle.h"

#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader.h"

namespace brimvale::apps {
namespace fs = std::filesystem;
namespace {

std::vector<fs::path> sortedEntries(const fs::path& folder) {
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  std::ranges::sort(entries);
  return entries;
}

bool isRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// Load paths of one binary, each once, from the native reader or the fallback.
std::vector<std::string> loadPathsOf(const fs::path& binary, const MachOToolFallback& fallback) {
  auto slices = readMachOFile(binary);
  if (!slices) {
    if (!fallback.loadPaths) return {};
    return fallback.loadPaths(binary).value_or(std::vector<std::string>{});
  }
  std::vector<std::string> paths;
  for (const MachOSlice& slice : *slices) {
    for (const DylibLoad& load : slice.loads) {
      if (std::ranges::find(paths, load.path) == paths.end()) paths.push_back(load.path);
    }
  }
  return paths;
}

std::string infoPlistExecutableName(const fs::path& bundle) {
  std::ifstream in(bundle / "Contents" / "Info.plist", std::ios::binary);
  const std::string data{std::istreambuf_iterator<char>(in), {}};
  plist_t raw = nullptr;
  plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &raw);
  const std::unique_ptr<void, decltype(&plist_free)> root(raw, &plist_free);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {};
  plist_t node = plist_dict_get_item(root.get(), "CFBundleExecutable");
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string name = value ? value : "";
  free(value);
  // A name with a slash would leave Contents/MacOS.
  return name.find('/') == std::string::npos ? name : std::string{};
}

}  // namespace

std::vector<fs::path> bundleBinaries(const fs::path& bundle) {
  std::vector<fs::path> binaries;
  for (const fs::path& entry : sortedEntries(bundle / "Contents" / "MacOS")) {
    if (isRegularFile(entry)) binaries.push_back(entry);
  }
  for (const fs::path& entry : sortedEntries(bundle / "Contents" / "Frameworks")) {
    if (entry.extension() == ".framework") {
      const fs::path main = entry / entry.stem();
      if (isRegularFile(main)) binaries.push_back(main);
    } else if (entry.extension() == ".dylib" && isRegularFile(entry)) {
      binaries.push_back(entry);
    }
  }
  if (binaries.size() > kMaxScannedBinaries) binaries.resize(kMaxScannedBinaries);
  return binaries;
}

std::vector<BundleLoadCommand> scanBundleLoadPaths(const fs::path& bundle,
                                                   const MachOToolFallback& fallback) {
  const std::string bundlePath = bundle.string();
  std::vector<BundleLoadCommand> found;
  for (const fs::path& binary : bundleBinaries(bundle)) {
    const std::string relative = binary.lexically_relative(bundle).string();
    for (std::string& path : loadPathsOf(binary, fallback)) {
      const LoadPathKind kind = classifyLoadPath(path, fs::path(bundlePath));
      found.push_back({relative, std::move(path), kind});
    }
  }
  return found;
}

fs::path mainExecutable(const fs::path& bundle) {
  std::string name = infoPlistExecutableName(bundle);
  if (name.empty()) name = bundle.filename().replace_extension().string();
  return bundle / "Contents" / "MacOS" / name;
}

std::vector<std::string> mainExecutableEntitlementKeys(const fs::path& bundle,
                                                       const MachOToolFallback& fallback) {
  std::string xml;
  if (auto slices = readMachOFile(mainExecutable(bundle))) {
    const auto signedSlice = std::ranges::find_if(
        *slices, [](const MachOSlice& slice) { return slice.entitlementsXml.has_value(); });
    if (signedSlice == slices->end()) return {};
    xml = *signedSlice->entitlementsXml;
  } else if (fallback.entitlementsXml) {
    xml = fallback.entitlementsXml(bundle).value_or(std::string{});
  }
  return entitlementKeys(xml).value_or(std::vector<std::string>{});
}

}  // namespace brimvale::apps
