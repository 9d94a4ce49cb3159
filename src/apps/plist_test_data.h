// Tests only: property-list texts for bundles, launchd jobs and Dock preferences, in XML or
// converted to the binary form.
#pragma once

#include <plist/plist.h>

#include <string>
#include <string_view>

namespace brimvale::apps::testing {

// `<key>key</key><string>value</string>`, the value escaped for XML.
inline std::string stringEntry(std::string_view key, std::string_view value) {
  std::string escaped;
  for (char c : value) {
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else
      escaped += c;
  }
  return "<key>" + std::string(key) + "</key><string>" + escaped + "</string>";
}

// A whole XML property list whose root dictionary holds `entries`.
inline std::string xmlPlist(std::string_view entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>" +
         std::string(entries) + "</dict></plist>\n";
}

// The binary form of an XML property list; empty when `xml` does not parse.
inline std::string binaryPlist(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  if (!root) return {};
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string out(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return out;
}

}  // namespace brimvale::apps::testing
