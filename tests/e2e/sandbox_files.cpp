#include "sandbox_files.h"

#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string_view>

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

fs::path writeTrashedFile(const fs::path& home, const std::string& name, const std::string& content,
                          int days) {
  const fs::path trash = home / ".local/share/Trash";
  const fs::path item = trash / "files" / name;
  fs::create_directories(item.parent_path());
  fs::create_directories(trash / "info");
  std::ofstream(item, std::ios::binary) << content;
  std::string path;
  for (unsigned char c : (home / name).string()) {
    constexpr std::string_view kPlain = "/-_.~";
    if (std::isalnum(c) || kPlain.find(static_cast<char>(c)) != std::string_view::npos) {
      path += static_cast<char>(c);
    } else {
      constexpr std::string_view kHex = "0123456789ABCDEF";
      path += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  const std::time_t at = std::time(nullptr) - static_cast<std::time_t>(days) * 86'400;
  std::tm local{};
  localtime_r(&at, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::ofstream(trash / "info" / (name + ".trashinfo"))
      << "[Trash Info]\nPath=" << path << "\nDeletionDate=" << date << "\n";
  return item;
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
