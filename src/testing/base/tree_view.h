// Tests and benchmarks only: what a user sees of a folder tree (so a move can
// be checked for losses), what a tree holds without following its links, and
// trees of awkward names to move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "common/base/file_io.h"

namespace brimvale::testing {

// Relative path -> the size and a checksum of what reading it gives.
using TreeView = std::map<std::string, std::string>;

// Every entry below `root` that is not a real folder, read through links, as
// a program using the old paths would; "." for a `root` that is a file. An
// entry that cannot be read shows as "unreadable".
inline TreeView userView(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  auto seen = [](const fs::path& p) {
    auto bytes = readFile(p);
    return bytes ? std::to_string(bytes->size()) + ":" +
                       std::to_string(std::hash<std::string>{}(*bytes))
                 : std::string("unreadable");
  };
  TreeView view;
  std::error_code ec;
  if (fs::is_regular_file(root, ec)) {
    view["."] = seen(root);
    return view;
  }
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) continue;
    view[it->path().lexically_relative(root).string()] = seen(it->path());
  }
  return view;
}

// How many entries of `before` are missing from `after` or read differently.
inline int lostEntries(const TreeView& before, const TreeView& after) {
  int lost = 0;
  for (const auto& [rel, seen] : before) {
    auto it = after.find(rel);
    if (it == after.end() || it->second != seen) ++lost;
  }
  return lost;
}

// Relative path -> what identifies the entry, links not followed: a file's
// size and checksum, a link's target, a folder as such. A `root` that is a
// link is followed, as a program using that path would.
using TreeSums = std::map<std::string, std::string>;

// Whether treeSums lists folders (so an emptied or vanished folder counts) or
// only files and links.
enum class Folders { kListed, kLeftOut };

inline TreeSums treeSums(const std::filesystem::path& root, Folders folders = Folders::kListed) {
  namespace fs = std::filesystem;
  TreeSums sums;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string rel = it->path().lexically_relative(root).string();
    const auto status = it->symlink_status(ec);
    if (fs::is_symlink(status)) {
      sums[rel] = "link " + fs::read_symlink(it->path(), ec).string();
    } else if (fs::is_directory(status)) {
      if (folders == Folders::kListed) sums[rel] = "folder";
    } else {
      const std::string bytes = readFile(it->path()).value_or("<unreadable>");
      std::uint64_t h = 14695981039346656037ull;  // FNV-1a
      for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
      sums[rel] = std::to_string(bytes.size()) + " " + std::to_string(h);
    }
  }
  return sums;
}

// `files` files of `bytesEach` bytes each, content varying per file, with
// blanks, quotes and non-ASCII letters in their names, in `folders` folders.
inline void writeAwkwardTree(const std::filesystem::path& root, int files, std::size_t bytesEach,
                             int folders = 7) {
  std::string block(bytesEach, '\0');
  for (int i = 0; i < files; ++i) {
    for (std::size_t b = 0; b < block.size(); ++b)
      block[b] = static_cast<char>((i * 131 + b * 7) & 0xff);
    const auto p = root / ("dir " + std::to_string(i % folders)) /
                   ("file \"" + std::to_string(i) + "\" é.bin");
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << block;
  }
}

}  // namespace brimvale::testing
