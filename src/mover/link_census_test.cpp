#include "mover/link_census.h"

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

// Given a folder with plain files, links a relocation left, a relative link
// that climbs into the drive folder and an unrelated link, only the links
// into the folder asked about are counted, and the example is the first by name.
TEST(LinkCensus, CountsOnlyLinksThatLeadIntoTheFoldersAskedAbout) {
  testing::TempFolder t;
  const fs::path drive = t.folder("drive/BRIM-Mac/Relocated/Old");
  const fs::path src = t.folder("home/Old");
  t.file("home/Old/plain.txt");
  t.file("home/Old/deep/er/plain.bin");
  t.link("home/Old/b.txt", drive / "b.txt");
  t.link("home/Old/deep/a.txt", drive / "deep/a.txt");
  t.link("home/Old/deep/up",
         "../../../drive/BRIM-Mac/Relocated/Old/x");  // relative, into the drive
  t.link("home/Old/alias", "plain.txt");
  t.link("home/Old/dangling", "/nowhere/at/all");

  auto census = takeLinkCensus(src, {t / "drive/BRIM-Mac", t / "home/Old", t / "elsewhere"});
  ASSERT_TRUE(census);
  EXPECT_EQ(census->files, 7u);
  EXPECT_EQ(census->regularFiles, 2u);
  EXPECT_EQ(census->linksInto, (std::vector<std::uint64_t>{3, 1, 0}));
  EXPECT_EQ(census->exampleInto[0], "b.txt");
  EXPECT_EQ(census->exampleInto[1], "alias");
  EXPECT_FALSE(census->exampleInto[2]);
  EXPECT_FALSE(census->incomplete);
}

TEST(LinkCensus, ARootThatIsALinkOrAFileCountsAsOneEntry) {
  testing::TempFolder t;
  const fs::path copy = t.folder("drive/Relocated/Stuff");
  struct Case {
    const char* name;
    fs::path root;
    std::uint64_t regular, into;
    std::optional<std::string> example;
  } cases[] = {
      {"link into the drive", t.link("home/Stuff", copy), 0, 1, ""},
      {"link elsewhere", t.link("home/Other", t / "home"), 0, 0, std::nullopt},
      {"single file", t.file("home/report.pdf"), 1, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto census = takeLinkCensus(c.root, {t / "drive"});
    ASSERT_TRUE(census);
    EXPECT_EQ(census->files, 1u);
    EXPECT_EQ(census->regularFiles, c.regular);
    EXPECT_EQ(census->linksInto[0], c.into);
    EXPECT_EQ(census->exampleInto[0], c.example);
  }
  EXPECT_FALSE(takeLinkCensus(t / "missing", {t / "drive"}));
}

// A folder whose name merely starts like the drive folder is not inside it.
TEST(LinkCensus, APrefixOfANameIsNotInside) {
  testing::TempFolder t;
  t.link("src/a", t / "drive2/a");
  t.link("src/b", t / "drive");
  auto census = takeLinkCensus(t / "src", {t / "drive"});
  ASSERT_TRUE(census);
  EXPECT_EQ(census->linksInto[0], 1u);
  EXPECT_EQ(census->exampleInto[0], "b");
}

// Given links at every depth, each shape of target, and the drive's own
// folder below the root, linksInto lists exactly the links into the drive,
// dangling ones included, and does not walk the drive itself.
TEST(LinksInto, FindsEveryLinkIntoTheFolderAtAnyDepth) {
  testing::TempFolder t;
  const fs::path drive = t / "home/Volumes/BRIM-Mac";  // below the root: not walked
  t.folder("home/Volumes/BRIM-Mac/Relocated/Old");
  t.link("home/Volumes/BRIM-Mac/Relocated/Old/inner", drive / "Relocated/Old/x");
  t.link("home/Old", drive / "Relocated/Old");
  t.link("home/a/b/c/d/e/f/g/h/deep.txt", drive / "Relocated/P/deep.txt");
  t.link("home/a/up", "../Volumes/BRIM-Mac/Apps/Tool.app");  // relative
  t.link("home/gone", drive / "Relocated/Unplugged");        // dangling
  t.link("home/elsewhere", t / "home/a");
  t.link("home/prefix", t / "home/Volumes/BRIM-Mac2/x");
  t.file("home/a/plain.txt");

  const LinksInto found = linksInto(t / "home", drive);
  std::vector<std::string> links;
  for (const auto& l : found.links) {
    links.push_back(l.link.lexically_relative(t / "home").string() + " -> " +
                    l.target.lexically_relative(drive).string());
  }
  EXPECT_EQ(links, (std::vector<std::string>{
                       "Old -> Relocated/Old", "a/b/c/d/e/f/g/h/deep.txt -> Relocated/P/deep.txt",
                       "a/up -> Apps/Tool.app", "gone -> Relocated/Unplugged"}));
  EXPECT_TRUE(found.complete());

  // A root that is itself such a link, a missing root, and a walk out of time.
  EXPECT_EQ(linksInto(t / "home/Old", drive).links.size(), 1u);
  EXPECT_TRUE(linksInto(t / "missing", drive).links.empty());
  EXPECT_TRUE(linksInto(t / "missing", drive).complete());
  const LinksInto cut =
      linksInto(t / "home", drive, {.deadline = std::chrono::steady_clock::now()});
  EXPECT_TRUE(cut.timedOut);
  EXPECT_FALSE(cut.complete());
}

}  // namespace
}  // namespace brimvale::mover
