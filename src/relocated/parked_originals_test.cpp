#include "relocated/parked_originals.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "common/base/file_io.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/raw_name_checks.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tree_view.h"

namespace brimvale::relocated {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

void putFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// A relocated folder as move-dir leaves it: the copy on the "drive", a link
// at the folder's path leading to it, and the original parked beside the link.
struct Relocated {
  brimvale::testing::TempFolder root{"bv-parked"};
  fs::path home = root.folder("home");
  fs::path state = root.folder("home/.brimvale/state");
  fs::path src = home / "Proj \"\xc3\x9cn\"";
  fs::path parked = src.string() + ".hollin-old";
  fs::path copy = root.folder("drive/BRIM-Mac/Relocated") / src.filename();

  Relocated() {
    writeTree(parked);
    writeTree(copy);
    fs::create_directory_symlink(copy, src);
    matchTimes();
  }
  static void writeTree(const fs::path& at) {
    fs::create_directories(at / "sub dir");
    putFile(at / "a.txt", "alpha");
    putFile(at / "sub dir" / "b.bin", std::string(70'000, 'b'));
    fs::create_symlink("a.txt", at / "ln");
  }
  // The copy tool keeps dates; so does this scene.
  void matchTimes() const {
    for (const char* rel : {"a.txt", "sub dir/b.bin"})
      fs::last_write_time(copy / rel, fs::last_write_time(parked / rel));
  }
  // Everything but Brimvale's own state (the lock records its holder).
  [[nodiscard]] brimvale::testing::TreeSums sums() const {
    auto all = brimvale::testing::treeSums(root.path());
    std::erase_if(all, [](const auto& e) { return e.first.starts_with("home/.brimvale"); });
    return all;
  }
  ConfirmOutcome confirm(const fs::path& path, FileOperations& files = FileOperations::real()) {
    return confirmParked({.home = home, .stateDir = state, .path = path.string()}, files);
  }
};

TEST(ParkedOriginals, ConfirmDeletesOnlyAParkedFolderWhoseCopyHoldsEverything) {
  struct Case {
    const char* name;
    std::function<fs::path(Relocated&)> arrange;  // returns the path to confirm
    ConfirmResult expected;
  };
  const Case cases[] = {
      {"copy equal", [](Relocated& r) { return r.parked; }, ConfirmResult::kDeleted},
      {"half deleted by an interrupted confirmation",
       [](Relocated& r) {
         fs::remove_all(r.parked / "sub dir");
         return r.parked;
       },
       ConfirmResult::kDeleted},
      {"one byte changed in the copy",
       [](Relocated& r) {
         putFile(r.copy / "a.txt", "alphA");
         return r.parked;
       },
       ConfirmResult::kDiffers},
      {"file missing from the copy",
       [](Relocated& r) {
         fs::remove(r.copy / "sub dir" / "b.bin");
         return r.parked;
       },
       ConfirmResult::kDiffers},
      {"link in the copy leads elsewhere",
       [](Relocated& r) {
         fs::remove(r.copy / "ln");
         fs::create_symlink("sub dir", r.copy / "ln");
         return r.parked;
       },
       ConfirmResult::kDiffers},
      {"folder put back in place of the link",
       [](Relocated& r) {
         fs::remove(r.src);
         Relocated::writeTree(r.src);
         return r.parked;
       },
       ConfirmResult::kNoCopy},
      {"link leads into the parked folder",
       [](Relocated& r) {
         fs::remove(r.src);
         fs::create_directory_symlink(r.parked, r.src);
         return r.parked;
       },
       ConfirmResult::kNoCopy},
      {"link leads to a subfolder of the parked folder",
       [](Relocated& r) {
         fs::remove(r.src);
         fs::create_directory_symlink(r.parked / "sub dir", r.src);
         return r.parked;
       },
       ConfirmResult::kNoCopy},
      {"drive gone",
       [](Relocated& r) {
         fs::rename(r.copy, r.root / "unplugged");
         return r.parked;
       },
       ConfirmResult::kNoCopy},
      {"link planted at the parked name",
       [](Relocated& r) {
         fs::rename(r.parked, r.root / "moved away");
         fs::create_directory_symlink(r.copy, r.parked);
         return r.parked;
       },
       ConfirmResult::kNotAFolder},
      {"name without the parked suffix", [](Relocated& r) { return r.copy; },
       ConfirmResult::kNotParkedName},
      {"parked folder outside home",
       [](Relocated& r) {
         const fs::path outside = r.root / "elsewhere" / "Proj.hollin-old";
         Relocated::writeTree(outside);
         fs::create_directory_symlink(r.copy, r.root / "elsewhere" / "Proj");
         return outside;
       },
       ConfirmResult::kOutsideHome},
      {"reached through a link in home that leads outside",
       [](Relocated& r) {
         Relocated::writeTree(r.root / "elsewhere" / "Proj.hollin-old");
         fs::create_directory_symlink(r.root / "elsewhere", r.home / "shortcut");
         return r.home / "shortcut" / "Proj.hollin-old";
       },
       ConfirmResult::kOutsideHome},
      {"already confirmed",
       [](Relocated& r) {
         fs::remove_all(r.parked);
         return r.parked;
       },
       ConfirmResult::kNothingThere},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Relocated r;
    const fs::path path = c.arrange(r);
    const auto rootBefore = r.sums();
    const auto copyBefore = brimvale::testing::userView(r.copy);
    const ConfirmOutcome outcome = r.confirm(path);
    EXPECT_EQ(outcome.result, c.expected) << confirmSentence(outcome);
    EXPECT_EQ(brimvale::testing::lostEntries(copyBefore, brimvale::testing::userView(r.copy)), 0);
    if (c.expected == ConfirmResult::kDeleted) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(r.parked)));
      EXPECT_EQ(fs::read_symlink(r.src), r.copy);
    } else {
      EXPECT_EQ(r.sums(), rootBefore) << "a refusal changes nothing";
      const std::string sentence = confirmSentence(outcome);
      EXPECT_TRUE(sentence.find("othing was deleted") != std::string::npos ||
                  sentence.find("othing was changed") != std::string::npos)
          << sentence;
    }
  }
}

TEST(ParkedOriginals, QuickLookTellsEachStateAndIgnoresWhatDoesNotMatter) {
  struct Case {
    const char* name;
    std::function<void(Relocated&)> arrange;
    ParkedState expected;
  };
  const Case cases[] = {
      {"as moved", [](Relocated&) {}, ParkedState::kMatches},
      {"partly deleted parked folder (its folder dates changed)",
       [](Relocated& r) { fs::remove(r.parked / "sub dir" / "b.bin"); }, ParkedState::kMatches},
      {"only a file's date differs",
       [](Relocated& r) {
         fs::last_write_time(r.copy / "a.txt", fs::file_time_type::clock::now() + 1h);
       },
       ParkedState::kMatches},
      {"same size, other content, other date",
       [](Relocated& r) {
         putFile(r.copy / "a.txt", "ALPHA");
         fs::last_write_time(r.copy / "a.txt", fs::file_time_type::clock::now() + 1h);
       },
       ParkedState::kDiffers},
      {"file missing from the copy", [](Relocated& r) { fs::remove(r.copy / "a.txt"); },
       ParkedState::kDiffers},
      {"link at the parked name",
       [](Relocated& r) {
         fs::remove_all(r.parked);
         fs::create_directory_symlink(r.copy, r.parked);
       },
       ParkedState::kNotAFolder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Relocated r;
    c.arrange(r);
    const ParkedOriginal p = inspectParked(r.parked);
    EXPECT_EQ(p.state, c.expected) << p.detail;
    EXPECT_EQ(p.relocated, r.src);
    if (c.expected == ParkedState::kMatches) {
      EXPECT_EQ(p.copy, r.copy);
      EXPECT_GE(p.bytes.value_or(0), 5u);
    }
  }
}

}  // namespace
}  // namespace brimvale::relocated
