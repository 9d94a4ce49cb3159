// What every `brimvale ... --json` document carries besides its own keys: the
// version of its documented shape, so a script can tell a shape it knows.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace brimvale::app {

// Raised when a documented key changes meaning or goes; new keys keep it.
inline constexpr int kJsonSchemaVersion = 1;

// `doc` with "schema_version": at the top of an object, and in each object of
// an array (a list stays a list for the scripts that read it as one).
template <class Json>
[[nodiscard]] Json versioned(Json doc) {
  if (doc.is_object()) doc["schema_version"] = kJsonSchemaVersion;
  if (doc.is_array()) {
    for (auto& element : doc) {
      if (element.is_object()) element["schema_version"] = kJsonSchemaVersion;
    }
  }
  return doc;
}

// The versioned document, indented, text that is not UTF-8 replaced, with a
// final newline.
[[nodiscard]] inline std::string versionedText(const nlohmann::json& doc) {
  return versioned(doc).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace brimvale::app
