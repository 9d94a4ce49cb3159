#include "apps/plist_file.h"

#include <cstdint>
#include <system_error>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

// Launchd jobs, Info.plists and the Dock's preferences are far smaller; a bigger file is not
// one of them and is not worth reading into memory.
constexpr std::uintmax_t kMaxPlistBytes = 16u << 20;

std::string stringValue(plist_t node) {
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

}  // namespace

PlistTree parsePlistDict(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxPlistBytes) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistTree tree(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return tree;
}

PlistTree readPlistDict(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return nullptr;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxPlistBytes) return nullptr;
  auto bytes = readFile(path);
  if (!bytes) return nullptr;
  return parsePlistDict(*bytes);
}

std::optional<std::string> plistString(plist_t dict, const char* key) {
  plist_t node = plistChild(dict, key, PLIST_STRING);
  if (!node) return std::nullopt;
  return stringValue(node);
}

plist_t plistChild(plist_t dict, const char* key, plist_type type) {
  if (!dict || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != type) return nullptr;
  return node;
}

bool plistHasKey(plist_t dict, const char* key) {
  return dict && plist_get_node_type(dict) == PLIST_DICT && plist_dict_get_item(dict, key);
}

std::vector<std::string> plistStrings(plist_t array) {
  std::vector<std::string> out;
  if (!array || plist_get_node_type(array) != PLIST_ARRAY) return out;
  uint32_t count = plist_array_get_size(array);
  for (uint32_t i = 0; i < count; ++i) {
    plist_t item = plist_array_get_item(array, i);
    if (plist_get_node_type(item) == PLIST_STRING) out.push_back(stringValue(item));
  }
  return out;
}

}  // namespace brimvale::apps
