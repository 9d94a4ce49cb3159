#include "service/rules/trash_records.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "testing/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(TrashRecords, ReadsThePathAndTheDeletionDateOrNothing) {
  const std::time_t may = localTime(2026, 5, 1, 9, 30, 5);
  struct Case {
    const char* name;
    const char* text;
    std::optional<TrashRecord> expected;
  };
  const Case cases[] = {
      {"plain", "[Trash Info]\nPath=/home/ann/Report.pdf\nDeletionDate=2026-05-01T09:30:05\n",
       TrashRecord{"/home/ann/Report.pdf", may}},
      {"percent-encoded path with spaces and non-ASCII letters",
       "[Trash Info]\nPath=/home/ann/Caf%C3%A9%20menu%25.txt\nDeletionDate=2026-05-01T09:30:05\n",
       TrashRecord{"/home/ann/Café menu%.txt", may}},
      {"blanks, comments and Windows line ends",
       "# written by a file manager\r\n[Trash Info]\r\nPath = a%0Ab\r\nDeletionDate = "
       "2026-05-01T09:30:05\r\n",
       TrashRecord{"a\nb", may}},
      {"keys of another group are not the record's",
       "[Other]\nDeletionDate=1999-01-01T00:00:00\n[Trash Info]\nPath=x\n"
       "DeletionDate=2026-05-01T09:30:05\n",
       TrashRecord{"x", may}},
      {"no group", "Path=x\nDeletionDate=2026-05-01T09:30:05\n", std::nullopt},
      {"keys only in another group", "[Desktop Entry]\nPath=x\nDeletionDate=2026-05-01T09:30:05\n",
       std::nullopt},
      {"no date", "[Trash Info]\nPath=x\n", std::nullopt},
      {"no path", "[Trash Info]\nDeletionDate=2026-05-01T09:30:05\n", std::nullopt},
      {"date with a time zone", "[Trash Info]\nPath=x\nDeletionDate=2026-05-01T09:30:05Z\n",
       std::nullopt},
      {"date without a time", "[Trash Info]\nPath=x\nDeletionDate=2026-05-01\n", std::nullopt},
      {"month 13", "[Trash Info]\nPath=x\nDeletionDate=2026-13-01T09:30:05\n", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto record = parseTrashInfo(c.text);
    ASSERT_EQ(record.has_value(), c.expected.has_value());
    if (!record) continue;
    EXPECT_EQ(record->originalPath, c.expected->originalPath);
    EXPECT_EQ(record->deletedAt, c.expected->deletedAt);
  }
}

TEST(TrashRecords, DecodesOnlyCompleteEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"%2Fhome%2f", "/home/"}, {"100%", "100%"}, {"%4", "%4"},
      {"%zz1", "%zz1"},         {"%%41", "%A"},   {"%00x", std::string("\0x", 2)},
  };
  for (const auto& [encoded, decoded] : cases) {
    SCOPED_TRACE(encoded);
    EXPECT_EQ(percentDecoded(encoded), decoded);
  }
}

TEST(TrashRecords, NeverReadsARecordThroughALink) {
  TempFolder trash("brimvale-trash");
  fs::create_directories(trash.path() / "info");
  const std::string record = "[Trash Info]\nPath=/x\nDeletionDate=2026-05-01T09:30:05\n";
  std::ofstream(trash.path() / "info/real.trashinfo") << record;
  std::ofstream(trash.path() / "elsewhere.trashinfo") << record;
  fs::create_symlink(trash.path() / "elsewhere.trashinfo", trash.path() / "info/linked.trashinfo");

  EXPECT_TRUE(readTrashRecord(trash.path(), "real").has_value());
  EXPECT_FALSE(readTrashRecord(trash.path(), "linked").has_value());
  EXPECT_FALSE(readTrashRecord(trash.path(), "missing").has_value());
  EXPECT_EQ(trashInfoOf("a b"), fs::path("info/a b.trashinfo"));
}

}  // namespace
}  // namespace brimvale::service
