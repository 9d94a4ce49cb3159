#include "common/base/file_calls.h"

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

TEST(FileCalls, SystemErrorsMapToTheCasesCallersSee) {
  struct Case {
    std::errc err;
    Errc code;
  };
  const Case cases[] = {
      {std::errc::no_such_file_or_directory, Errc::kNotFound},
      {std::errc::permission_denied, Errc::kPermissionDenied},
      {std::errc::operation_not_permitted, Errc::kPermissionDenied},
      {std::errc::no_space_on_device, Errc::kIo},
  };
  for (const auto& c : cases) {
    const auto ec = std::make_error_code(c.err);
    SCOPED_TRACE(ec.message());
    const Error e = fileCallError("renaming", "/a b", ec);
    EXPECT_EQ(e.code, c.code);
    EXPECT_EQ(e.detail, "renaming /a b: " + ec.message());
  }
}

// Given a folder, a file, a link to the folder, a dangling link and a missing
// name, the questions answer as the system sees them and "missing" is an
// answer, never an error.
TEST(FileCalls, QuestionsTreatMissingAsAnAnswer) {
  testing::TempFolder dir;
  dir.folder("folder");
  dir.file("file");
  dir.link("link", dir / "folder");
  dir.link("dangling", dir / "gone");
  struct Case {
    const char* name;
    bool exists, directory, regular;
    fs::file_type own;
  };
  const Case cases[] = {
      {"folder", true, true, false, fs::file_type::directory},
      {"file", true, false, true, fs::file_type::regular},
      {"link", true, true, false, fs::file_type::symlink},
      {"dangling", false, false, false, fs::file_type::symlink},
      {"missing", false, false, false, fs::file_type::not_found},
      {"file/below", false, false, false, fs::file_type::not_found},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path p = dir / c.name;
    ASSERT_TRUE(pathExists(p).has_value());
    EXPECT_EQ(*pathExists(p), c.exists);
    EXPECT_EQ(isDirectory(p).value(), c.directory);
    EXPECT_EQ(isRegularFile(p).value(), c.regular);
    EXPECT_EQ(linkStatus(p).value().type(), c.own);
  }
}

TEST(FileCalls, ChangesReportWhatFailedAndWhere) {
  testing::TempFolder dir;
  dir.file("file");
  struct Case {
    const char* name;
    Result<void> result;
    Errc code;
    std::string detailStart;
  };
  const Case cases[] = {
      {"rename missing", renamePath(dir / "gone", dir / "to"), Errc::kNotFound,
       "renaming " + (dir / "gone").string()},
      {"folder under a file", createDirectories(dir / "file" / "sub"), Errc::kNotFound,
       "creating folder " + (dir / "file" / "sub").string()},
      {"link over a file", createDirectorySymlink(dir / "x", dir / "file"), Errc::kIo,
       "creating link " + (dir / "file").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.result.has_value());
    EXPECT_EQ(c.result.error().code, c.code);
    EXPECT_TRUE(c.result.error().detail.starts_with(c.detailStart)) << c.result.error().detail;
  }
  EXPECT_EQ(removePath(dir / "gone").value(), false);
  EXPECT_EQ(removeAll(dir / "gone").value(), 0u);
  EXPECT_FALSE(readSymlink(dir / "file").has_value());
  EXPECT_TRUE(fs::is_regular_file(dir / "file")) << "a failed link never replaces a file";
}

}  // namespace
}  // namespace brimvale
