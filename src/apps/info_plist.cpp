#include "apps/info_plist.h"

#include <plist/plist.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

// A bundle's Info.plist is a few KiB; anything past this is not one.
constexpr std::size_t kMaxInfoPlistBytes = 8u << 20;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

std::string stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text == nullptr ? std::string() : std::string(text, length);
}

}  // namespace

std::optional<InfoPlist> parseInfoPlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxInfoPlistBytes) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  PlistHandle root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  return InfoPlist{
      .displayName = stringValue(root.get(), "CFBundleDisplayName"),
      .bundleName = stringValue(root.get(), "CFBundleName"),
      .identifier = stringValue(root.get(), "CFBundleIdentifier"),
      .executable = stringValue(root.get(), "CFBundleExecutable"),
      .categoryType = stringValue(root.get(), "LSApplicationCategoryType"),
  };
}

std::optional<InfoPlist> readInfoPlist(const std::filesystem::path& bundle) {
  auto bytes = readFile(bundle / "Contents" / "Info.plist");
  if (!bytes) return std::nullopt;
  return parseInfoPlist(*bytes);
}

}  // namespace brimvale::apps
