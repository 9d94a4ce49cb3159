#include "common/base/disk_usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

std::uint64_t duSk(const fs::path& p) {
  ProcessResult r = runProcess({.path = "/usr/bin/du", .args = {"-sk", "--", p.string()}});
  return std::stoull(r.out) * 1024;
}

void writeBytes(const fs::path& p, std::size_t n) { std::ofstream(p) << std::string(n, 'x'); }

// The survey's other findings: lengths as the copy check measures them and
// the newest entry, whichever thread walked it.
TEST(DiskUsage, SurveyFindsLengthsAndTheNewestEntry) {
  const brimvale::testing::TempFolder tmp("brimvale-survey");
  fs::path root = tmp.path();
  for (int i = 0; i < 8; ++i) {
    fs::create_directories(root / ("d" + std::to_string(i)) / "inner");
    writeBytes(root / ("d" + std::to_string(i)) / "inner" / "f", 100);
  }
  writeBytes(root / "top", 1000);
  fs::create_symlink("top", root / "link");  // counts its own 3 bytes
  fs::create_hard_link(root / "top",
                       root / "d3" / "again");  // counted twice by length, once by blocks
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_symlink()) fs::last_write_time(e.path(), old);
  }
  fs::last_write_time(root, old);
  const timespec linkTimes[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 48 * 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root / "link").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW), 0);
  struct Case {
    const char* touched;  // made the newest, with everything above it as new
    const char* expected;
  };
  const Case cases[] = {{"", ""}, {"d5/inner/f", "d5/inner/f"}, {"d2/inner", "d2/inner"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.touched);
    const auto stamp = old + std::chrono::hours(1 + (&c - cases));
    for (fs::path p = root / c.touched; p.string().size() >= root.string().size();
         p = p.parent_path()) {
      fs::last_write_time(p, stamp);
      if (p == root) break;
    }
    auto survey = surveyTree(root);
    ASSERT_TRUE(survey);
    EXPECT_EQ(survey->newestPath, c.expected);
    EXPECT_EQ(survey->apparentBytes, 8 * 100 + 1000 + 3 + 1000u);
    EXPECT_EQ(survey->allocatedBytes, duSk(root));
  }
  auto file = surveyTree(root / "top");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->apparentBytes, 1000u);
  EXPECT_EQ(file->newestPath, "");
}

}  // namespace
}  // namespace brimvale
