// Tests and benchmarks only: application bundles laid out in a temporary
// folder, with an Info.plist in either encoding and a main program.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace brimvale::apps::testing {

enum class PlistEncoding { kXml, kBinary };

// A property list holding `keys` as string values, encoded as asked.
inline std::string encodedPlist(const std::map<std::string, std::string>& keys,
                                PlistEncoding encoding) {
  plist_t dict = plist_new_dict();
  for (const auto& [key, value] : keys)
    plist_dict_set_item(dict, key.c_str(), plist_new_string(value.c_str()));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  std::string out;
  if (encoding == PlistEncoding::kXml) {
    plist_to_xml(dict, &bytes, &length);
    out.assign(bytes, length);
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin(dict, &bytes, &length);
    out.assign(bytes, length);
    plist_to_bin_free(bytes);
  }
  plist_free(dict);
  return out;
}

// `{folder}/{name}.app` with its Info.plist (`keys`, plus CFBundleExecutable
// "{name}" unless given) and a main program of `programBytes` bytes.
inline std::filesystem::path makeBundle(const std::filesystem::path& folder,
                                        const std::string& name,
                                        std::map<std::string, std::string> keys = {},
                                        PlistEncoding encoding = PlistEncoding::kXml,
                                        std::size_t programBytes = 4096) {
  const auto bundle = folder / (name + ".app");
  std::filesystem::create_directories(bundle / "Contents" / "MacOS");
  keys.try_emplace("CFBundleExecutable", name);
  std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
      << encodedPlist(keys, encoding);
  std::ofstream(bundle / "Contents" / "MacOS" / keys["CFBundleExecutable"], std::ios::binary)
      << std::string(programBytes, 'x');
  return bundle;
}

}  // namespace brimvale::apps::testing
