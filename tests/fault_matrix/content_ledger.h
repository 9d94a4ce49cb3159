// What the user's files hold, wherever they are: every non-empty regular file
// under some roots, known by size and checksum, so that after a fault any
// content found nowhere counts as lost, whatever name or place it ended in
// (a copy on the drive, a kept version beside the original, the Trash).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace brimvale::faults {

class ContentLedger {
 public:
  // Every regular file under `roots` (links not followed; a root may be a
  // file itself), except below `skip`.
  [[nodiscard]] static ContentLedger take(const std::vector<std::filesystem::path>& roots,
                                          const std::vector<std::filesystem::path>& skip = {});
  // Content that must be found afterwards (a version a writer made), named by `where`.
  void expect(const std::string& content, const std::string& where);
  // Drops what `path` held when the ledger was taken: a writer changed it on purpose.
  void forget(const std::filesystem::path& path);
  // The entries of this ledger found nowhere in `after`, except what
  // `allowed` holds (what the command set out to delete): bytes and paths.
  [[nodiscard]] std::pair<std::uintmax_t, std::vector<std::string>> missingFrom(
      const ContentLedger& after, const ContentLedger& allowed = {}) const;

 private:
  using Key = std::pair<std::uintmax_t, std::uint64_t>;  // size, checksum
  std::map<Key, std::string> entries_;                   // one path per content
};

[[nodiscard]] std::uint64_t checksum(const std::string& bytes);

}  // namespace brimvale::faults
