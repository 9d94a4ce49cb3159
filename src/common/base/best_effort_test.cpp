#include "common/base/best_effort.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const fs::path& file) { return readLastLines(file, 100); }

TEST(BestEffort, OnlyAFailureLeavesOneLineNamingWhatAndTheError) {
  struct Case {
    const char* name;
    bool (*call)(const DiagnosticsLog&);
    std::vector<std::string> fragments;  // empty: nothing may be written
  };
  const Case cases[] = {
      {"result ok",
       [](const DiagnosticsLog& log) { return bestEffort(Result<int>(3), log, "x"); },
       {}},
      {"result failed",
       [](const DiagnosticsLog& log) {
         return bestEffort(Result<void>(fail(Errc::kNotFound, "removing /a: gone")), log,
                           "removing the copy");
       },
       {"removing the copy: not-found: removing /a: gone"}},
      {"code failed",
       [](const DiagnosticsLog& log) {
         return bestEffort(std::make_error_code(std::errc::no_space_on_device), log,
                           "renaming back");
       },
       {"renaming back: io: No space left on device"}},
      {"newline in a name",
       [](const DiagnosticsLog& log) {
         return bestEffort(Result<void>(fail(Errc::kIo, "a\nb")), log, "touching x\ny");
       },
       {"touching x\\ny: io: a\\nb"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder dir;
    const DiagnosticsLog log(dir / "diagnostics.log", [] { return std::time_t{0}; });
    EXPECT_EQ(c.call(log), c.fragments.empty());
    const auto lines = linesOf(log.file());
    if (c.fragments.empty()) {
      EXPECT_FALSE(fs::exists(log.file()));
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(ts(0) + "  ")) << lines[0];
    for (const auto& f : c.fragments) EXPECT_NE(lines[0].find(f), std::string::npos) << lines[0];
  }
}

TEST(BestEffort, AFullLogRotatesOnceInsteadOfGrowing) {
  testing::TempFolder dir;
  const DiagnosticsLog log(dir / "diagnostics.log", systemClock(), 200);
  for (int i = 0; i < 50; ++i) log.note("step " + std::to_string(i), Error{Errc::kIo, "full"});
  EXPECT_LT(fs::file_size(log.file()), 200u + 100u);
  EXPECT_LT(fs::file_size(dir / "diagnostics.log.1"), 200u + 100u);
  EXPECT_FALSE(fs::exists(dir / "diagnostics.log.2"));
  EXPECT_NE(linesOf(log.file()).back().find("step 49"), std::string::npos);
}

TEST(BestEffort, AnUnwritableLogNeverFailsTheCaller) {
  testing::TempFolder dir;
  const DiagnosticsLog log(dir / "missing folder" / "diagnostics.log");
  EXPECT_FALSE(bestEffort(Result<void>(fail(Errc::kIo)), log, "anything"));
  EXPECT_FALSE(fs::exists(log.file()));
}

}  // namespace
}  // namespace brimvale
