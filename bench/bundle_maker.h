// Benchmarks only: the app bundle the bundle-copy and app-move benchmarks
// move: 20,000 files totalling 1 GiB, with links, hard links and attributes.
#pragma once

#include <sys/xattr.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace brimvale::bench {

inline constexpr int kFolders = 200;
inline constexpr int kFilesPerFolder = 100;
inline constexpr int kLargeFiles = 10;
inline constexpr std::uint64_t kTotalBytes = 1ull << 30;

// A bundle of kFolders x kFilesPerFolder files (the last few large) adding up
// to kTotalBytes, with a link per folder, some hard links and attributes.
inline void makeBundle(const std::filesystem::path& app) {
  std::string pattern(64u << 20, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 131 % 251);
  const int smallFiles = kFolders * kFilesPerFolder - kLargeFiles;
  std::uint64_t smallBytes = 0;
  auto smallSize = [](int i) {
    return std::size_t{1024} + static_cast<std::size_t>(i) * 7919 % 65536;
  };
  for (int i = 0; i < smallFiles; ++i) smallBytes += smallSize(i);
  const std::size_t window = pattern.size() - 251;  // each file starts at its own offset
  const std::size_t largeSize = (kTotalBytes - smallBytes) / kLargeFiles;
  int n = 0;
  for (int d = 0; d < kFolders; ++d) {
    const std::filesystem::path folder =
        app / "Contents" / "Resources" / ("Folder " + std::to_string(d));
    std::filesystem::create_directories(folder);
    for (int f = 0; f < kFilesPerFolder; ++f, ++n) {
      const std::filesystem::path file = folder / ("file " + std::to_string(f));
      const std::size_t size = n < smallFiles ? smallSize(n) : largeSize;
      std::ofstream out(file, std::ios::binary);
      for (std::size_t written = 0; written < size;) {
        const std::size_t piece = std::min(size - written, window);
        out.write(pattern.data() + n % 251, static_cast<std::streamsize>(piece));
        written += piece;
      }
      if (f % 50 == 0) setxattr(file.c_str(), "user.bench", "attribute", 9, 0);
    }
    std::filesystem::create_symlink("file 0", folder / "current");
    if (d % 4 == 0) std::filesystem::create_hard_link(folder / "file 1", folder / "file 1 again");
  }
}

inline constexpr int kBundleFiles = kFolders * kFilesPerFolder;
inline constexpr std::uint64_t kBundleBytes = kTotalBytes;

}  // namespace brimvale::bench
