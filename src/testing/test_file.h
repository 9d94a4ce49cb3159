// A file written for a test, with the folders above it made first.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace brimvale::testing {

inline void write(const std::filesystem::path& p, const std::string& content) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

}  // namespace brimvale::testing
