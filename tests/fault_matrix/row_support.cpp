#include "row_support.h"

#include <fstream>

namespace brimvale::faults {
namespace fs = std::filesystem;

void writeUserTree(const fs::path& root, int files) {
  for (int i = 0; i < files; ++i) {
    const fs::path p = root / ("folder " + std::to_string(i % 3)) /
                       (i % 4 == 0 ? "notes é " + std::to_string(i) + ".txt"
                                   : "file-" + std::to_string(i) + ".dat");
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    for (int line = 0; line < 40 + i; ++line)
      out << "file " << i << " line " << line << " of " << root.filename().string() << "\n";
  }
  std::ofstream(root / "doc.txt") << "the document " << root.filename().string() << "\n";
  std::ofstream(root / "log.txt") << "the log of " << root.filename().string() << "\n";
}

bool isBelow(const fs::path& path, const fs::path& folder) {
  const std::string p = path.lexically_normal().string();
  const std::string f = folder.lexically_normal().string();
  return p.size() > f.size() + 1 && p.compare(0, f.size(), f) == 0 && p[f.size()] == '/';
}

}  // namespace brimvale::faults
