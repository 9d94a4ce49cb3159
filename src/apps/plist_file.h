// Property lists (XML or binary) read from files or bytes, and the few typed
// lookups bundle inspection needs. Anything unreadable or malformed reads as nothing.
#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::apps {

struct PlistFree {
  using pointer = plist_t;
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

// The root of `bytes` when it parses and is a dictionary; null otherwise.
[[nodiscard]] PlistTree parsePlistDict(std::string_view bytes);
// The root dictionary of the file at `path`; null when the file is missing, unreadable,
// larger than a property list plausibly is, malformed, or not a dictionary.
[[nodiscard]] PlistTree readPlistDict(const std::filesystem::path& path);

// The string under `key` of `dict`; nothing when absent, not a string, or `dict` is no dict.
[[nodiscard]] std::optional<std::string> plistString(plist_t dict, const char* key);
// The dictionary or array under `key`, or null.
[[nodiscard]] plist_t plistChild(plist_t dict, const char* key, plist_type type);
// Whether `dict` is a dictionary holding `key` (of any type).
[[nodiscard]] bool plistHasKey(plist_t dict, const char* key);
// The string items of `array`, skipping items of other types.
[[nodiscard]] std::vector<std::string> plistStrings(plist_t array);

}  // namespace brimvale::apps
