#include "sandbox_files.h"

#include <chrono>
#include <fstream>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"

namespace brimvale::e2e {
namespace fs = std::filesystem;

const std::vector<std::string>& awkwardNames() {
  static const std::vector<std::string> kNames{"plain.txt", "two words.txt", "it's \"quoted\"",
                                               "line\nbreak.txt",
                                               "\xC3\xA9t\xC3\xA9 r\xC3\xA9sum\xC3\xA9.pdf"};
  return kNames;
}

void ageBy(const fs::path& path, int days) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

void writeAgedFile(const fs::path& path, const std::string& content, int days) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
  ageBy(path, days);
}

std::string configWithDrive(const fs::path& drive, const std::string& extraLines) {
  return "# Brimvale configuration\nNVMe=\"" + drive.string() + "\"\nMIN_AGE_HARD_FLOOR_DAYS=7\n" +
         extraLines;
}

fs::path prepareDrive(const TempHome& home, const fs::path& drive) {
  ProcessResult r = runBrimVale(home, {"recover"});
  EXPECT_TRUE(r.succeeded()) << r.describe() << r.out << r.err;
  return drive / thisWorkingFolderName();
}

std::vector<std::string> actionRows(const TempHome& home) {
  std::vector<std::string> rows;
  auto text = readFile(home.path() / ".brimvale" / "brim-vale.actions.tsv");
  if (!text) return rows;
  for (auto line : splitLines(*text)) rows.emplace_back(line);
  return rows;
}

}  // namespace brimvale::e2e
