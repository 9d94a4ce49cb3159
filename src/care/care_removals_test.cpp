#include "care/care_removals.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "testing/base/temp_folder.h"

namespace brimvale::care {
namespace {
namespace fs = std::filesystem;

std::string row(const std::string& action, const std::string& src, const std::string& dest,
                const std::string& bytes) {
  return "2026-03-01 09:15:00\t" + action + "\t" + escapedLineField(src) + "\t" +
         escapedLineField(dest) + "\t" + bytes + "\n";
}

// Given every kind of row the service writes, then only deletions count,
// with their exact path and size.
TEST(CareRemovals, OnlyDeletionsAreRemovals) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<RemovedItem> removed;
  } cases[] = {
      {"a reclaimed cache",
       row("reclaim-devcaches", "/h/.npm/_cacache", "-", "4096"),
       {{"/h/.npm/_cacache", 4096}}},
      {"a move is not a removal", row("move", "/h/Downloads/a", "/drive/a", "10"), {}},
      {"a size that could not be read", row("delete", "/h/old", "-", ""), {{"/h/old", 0}}},
      {"a path with a tab and a line break",
       row("delete", "/h/a\tb\nc", "-", "1"),
       {{"/h/a\tb\nc", 1}}},
      {"a short row", "2026-03-01 09:15:00\tdelete\t/h/x\t-\n", {}},
      {"a row without a path", row("delete", "", "-", "5"), {}},
      {"a file moved to the Trash", row("trash", "/h/old", "/h/T/files/old", "7"), {}},
      {"several in order",
       row("delete", "/h/1", "-", "1") + row("move", "/h/2", "/d/2", "2") +
           row("reclaim-trash", "/h/3", "-", "3"),
       {{"/h/1", 1}, {"/h/3", 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(removalsIn(c.text), c.removed);
  }
  const std::vector<RemovedItem> trashed{{"/h/a\tb", 7}};
  EXPECT_EQ(trashedIn(row("trash", "/h/a\tb", "/h/T/files/a\tb", "7") +
                      row("delete", "/h/c", "-", "1") + row("move", "/h/d", "/x/d", "2")),
            trashed);
}

// Given rows written before the run, then the watch reports only the run's
// own; given a log replaced by a shorter one, then it reads that one whole.
TEST(CareRemovals, TheWatchSeesOnlyRowsAddedDuringTheRun) {
  brimvale::testing::TempFolder tmp("care-removals");
  const fs::path log = tmp.path() / "actions.tsv";
  struct Case {
    const char* name;
    std::string before;
    std::string after;  // the whole log once the run ended
    std::vector<RemovedItem> removed;
  } cases[] = {
      {"no log yet", "", row("delete", "/h/new", "-", "7"), {{"/h/new", 7}}},
      {"older rows",
       row("delete", "/h/old", "-", "1") + row("delete", "/h/older", "-", "2"),
       row("delete", "/h/old", "-", "1") + row("delete", "/h/older", "-", "2") +
           row("delete", "/h/new", "-", "7"),
       {{"/h/new", 7}}},
      {"nothing removed", row("delete", "/h/old", "-", "1"), row("delete", "/h/old", "-", "1"), {}},
      {"log replaced by a shorter one",
       row("delete", "/h/a-long-path-name", "-", "1"),
       row("delete", "/h/x", "-", "3"),
       {{"/h/x", 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(log);
    if (!c.before.empty()) {
      ASSERT_TRUE(writeFileAtomically(log, c.before));
    }
    const RemovalWatch watch(log);
    ASSERT_TRUE(writeFileAtomically(log, c.after));
    EXPECT_EQ(watch.removedSince(), c.removed);
  }
}

// The record comes back as it was stored; a missing file is no record, and
// a hand-edited one is read as far as it makes sense.
TEST(CareRemovals, TheRecordSurvivesItsFileAndHandEdits) {
  brimvale::testing::TempFolder tmp("care-removals");
  const fs::path file = tmp.path() / std::string(kRemovalsFile);
  auto missing = loadRemovals(file);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);

  const RemovalRecord record{.at = 1'700'000'000,
                             .removed = {{"/h/a b", 1'234'567'890'123}, {"/h/\u00e9t\u00e9", 0}}};
  ASSERT_TRUE(storeRemovals(file, record));
  auto loaded = loadRemovals(file);
  ASSERT_TRUE(loaded && *loaded);
  EXPECT_EQ(**loaded, record);

  struct Case {
    const char* name;
    std::string text;
    bool readable;
    std::vector<RemovedItem> removed;
  } cases[] = {
      {"not JSON", "{oops", false, {}},
      {"no date", R"({"removed": []})", false, {}},
      {"entries without a path or size",
       R"({"at": "2026-03-01T09:15:00Z", "removed": [{"bytes": 3}, {"path": "/h/x"},
           {"path": 7}, {"path": "/h/y", "bytes": "big"}]})",
       true,
       {{"/h/x", 0}, {"/h/y", 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(writeFileAtomically(file, c.text));
    auto read = loadRemovals(file);
    ASSERT_EQ(read.has_value(), c.readable);
    if (read) {
      ASSERT_TRUE(*read);
      EXPECT_EQ((*read)->removed, c.removed);
    }
  }
}

}  // namespace
}  // namespace brimvale::care
