#include "content_ledger.h"

#include "common/base/file_io.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

std::uint64_t checksum(const std::string& bytes) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

ContentLedger ContentLedger::take(const std::vector<fs::path>& roots,
                                  const std::vector<fs::path>& skip) {
  ContentLedger ledger;
  for (const fs::path& root : roots) {
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(root, ec))) {
      // A single file (what a cleaner means to delete may be one).
      if (auto bytes = readFile(root); bytes && !bytes->empty())
        ledger.entries_.try_emplace(Key{bytes->size(), checksum(*bytes)}, root.string());
      continue;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      bool skipped = false;
      for (const fs::path& s : skip) skipped = skipped || it->path() == s;
      if (skipped) {
        it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      auto bytes = readFile(it->path());
      if (!bytes || bytes->empty()) continue;
      ledger.entries_.try_emplace(Key{bytes->size(), checksum(*bytes)}, it->path().string());
    }
  }
  return ledger;
}

void ContentLedger::expect(const std::string& content, const std::string& where) {
  if (!content.empty()) entries_.try_emplace(Key{content.size(), checksum(content)}, where);
}

void ContentLedger::forget(const fs::path& path) {
  std::erase_if(entries_, [&](const auto& entry) { return entry.second == path.string(); });
}

std::pair<std::uintmax_t, std::vector<std::string>> ContentLedger::missingFrom(
    const ContentLedger& after, const ContentLedger& allowed) const {
  std::uintmax_t bytes = 0;
  std::vector<std::string> paths;
  for (const auto& [key, path] : entries_) {
    if (after.entries_.contains(key) || allowed.entries_.contains(key)) continue;
    bytes += key.first;
    paths.push_back(path);
  }
  return {bytes, paths};
}

}  // namespace brimvale::faults
