#include "service/rules/trash_records.h"

#include <gtest/gtest.h>

#include <ctime>

namespace brimvale::service {
namespace {

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
      {"no group", "Path=x\nDeletionDate=2026-05-01T09:30:05\n", std::nullopt},
      {"keys only in another group", "[Desktop Entry]\nPath=x\nDeletionDate=2026-05-01T09:30:05\n",
       std::nullopt},
      {"no date", "[Trash Info]\nPath=x\n", std::nullopt},
      {"date with a time zone", "[Trash Info]\nPath=x\nDeletionDate=2026-05-01T09:30:05Z\n",
       std::nullopt},
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

}  // namespace
}  // namespace brimvale::service
