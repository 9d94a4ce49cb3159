#include "mover/relink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

class Relink : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/relink-XXXXXX";
    root_ = mkdtemp(tmpl);
    src_ = root_ / "src";
    dst_ = root_ / "dst";
    for (const char* rel : {"a.txt", "sub/b.bin", "sub/deep/c d.txt", "sub/deep/new\nline"}) {
      write(src_ / rel, rel);
      write(dst_ / rel, rel);
    }
    fs::create_symlink("a.txt", src_ / "link");
  }
  void TearDown() override { fs::remove_all(root_); }
  static void write(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  fs::path root_, src_, dst_;
};

TEST_F(Relink, EveryFileBecomesALinkToItsCopyAndFoldersStay) {
  const WalkResult r = relinkTree(src_, dst_);
  EXPECT_EQ(r.relinked, 4);
  EXPECT_EQ(r.skipped, 3);  // sub, sub/deep and the link
  EXPECT_EQ(r.errors, 0);
  EXPECT_FALSE(r.firstError);
  for (const char* rel : {"a.txt", "sub/b.bin", "sub/deep/c d.txt", "sub/deep/new\nline"}) {
    SCOPED_TRACE(rel);
    EXPECT_TRUE(fs::is_symlink(src_ / rel));
    EXPECT_EQ(fs::read_symlink(src_ / rel), dst_ / rel);
    EXPECT_EQ(read(src_ / rel), rel);
  }
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(src_ / "sub")));
  EXPECT_EQ(fs::read_symlink(src_ / "link"), "a.txt");  // links are left as they are
  // Nothing temporary is left behind, and a second run has nothing to do.
  for (const auto& e : fs::recursive_directory_iterator(src_)) {
    EXPECT_EQ(e.path().string().find(".brimvale-link"), std::string::npos);
  }
  EXPECT_EQ(relinkTree(src_, dst_).relinked, 0);
}

TEST_F(Relink, FilesWithoutACounterpartStayAndTheFirstInNameOrderIsReported) {
  fs::remove(dst_ / "sub" / "b.bin");
  fs::remove(dst_ / "sub" / "deep" / "c d.txt");
  fs::create_symlink("stale", src_ / "a.txt.brimvale-link");  // left by a crash mid-swap
  const WalkResult r = relinkTree(src_, dst_);
  EXPECT_EQ(r.errors, 2);
  EXPECT_EQ(r.relinked, 2);
  EXPECT_EQ(fs::read_symlink(src_ / "a.txt"), dst_ / "a.txt");
  EXPECT_FALSE(fs::exists(fs::symlink_status(src_ / "a.txt.brimvale-link")));
  ASSERT_TRUE(r.firstError);
  EXPECT_EQ(*r.firstError, "Missing dst counterpart: " + (dst_ / "sub" / "b.bin").string());
  EXPECT_EQ(read(src_ / "sub" / "b.bin"), "sub/b.bin");
  EXPECT_FALSE(fs::is_symlink(src_ / "sub" / "b.bin"));
}

TEST_F(Relink, SingleFilesAndLinkedSourcesAndMissingSources) {
  const WalkResult one = relinkTree(src_ / "a.txt", dst_ / "a.txt");
  EXPECT_TRUE(one.singleFile);
  EXPECT_EQ(one.relinked, 1);
  EXPECT_EQ(fs::read_symlink(src_ / "a.txt"), dst_ / "a.txt");

  fs::rename(src_, root_ / "moved");
  fs::create_directory_symlink(dst_, src_);
  const WalkResult linked = relinkTree(src_, dst_);
  EXPECT_EQ(linked.skipped, 1);
  EXPECT_EQ(linked.relinked, 0);

  const WalkResult gone = relinkTree(root_ / "gone", dst_);
  EXPECT_EQ(gone.errors, 1);
  EXPECT_EQ(*gone.firstError, "Source not found: " + (root_ / "gone").string());
}

}  // namespace
}  // namespace brimvale::mover
