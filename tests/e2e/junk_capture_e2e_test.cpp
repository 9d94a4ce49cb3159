// The clipboard watcher against a real X server (a private Xvfb): what real
// programs copy lands on the board with the right kind, and what must not
// land (passwords, too many files, repeats, the board's own copy back) does not.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/base/file_io.h"
#include "junk/junk_clipboard_watcher.h"
#include "junk/junk_filter.h"
#include "junk/junk_image.h"
#include "junk/junk_item.h"
#include "junk/junk_link.h"
#include "junk/junk_store.h"
#include "platform/linux/x11_clipboard.h"
#include "testing/base/temp_home.h"
#include "testing/platform/memory_user_defaults.h"
#include "testing/platform/test_loop.h"
#include "x11/xvfb_display.h"

namespace brimvale::junk {
namespace {

namespace fs = std::filesystem;

const std::vector<std::uint8_t> kPng = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
    0x52, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x08, 0x02, 0x00, 0x00, 0x00, 0x3b,
    0x96, 0x39, 0x91, 0x00, 0x00, 0x00, 0x10, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x38,
    0x21, 0x27, 0x07, 0x47, 0x0c, 0x38, 0x39, 0x00, 0xf5, 0xc7, 0x0c, 0x31, 0x07, 0xeb, 0xad,
    0x99, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

class JunkCaptureE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(display_.name().empty()) << "Xvfb did not start";
    auto opened = platform::X11Clipboard::open(display_.name());
    ASSERT_TRUE(opened) << opened.error().message();
    clipboard_ = std::move(*opened);
    store_.emplace(home_.state(), JunkSettings(defaults_));
    ASSERT_TRUE(store_->load());
    watcher_.emplace(
        *clipboard_, *store_, loop_,
        [this](std::function<void()> task) {
          loop_.post([this, task = std::move(task)] {
            task();
            ++checks_;
          });
        },
        defaults_);
    watcher_->start();
  }

  // Runs `program` on the display, then lets the watcher look at the change
  // it made (one XFixes event, one check).
  void copyWith(const std::string& program, std::vector<std::string> args) {
    const int before = checks_;
    ASSERT_EQ(display_.run(program, std::move(args)), 0) << program;
    ASSERT_TRUE(loop_.runUntil([&] { return checks_ > before; })) << "no clipboard event";
  }
  void xclip(const std::string& type, const fs::path& file) {
    copyWith("/usr/bin/xclip", {"-selection", "clipboard", "-t", type, "-i", file.string()});
  }
  // Offers every TYPE=VALUE together from one owner, as password managers do.
  void offerTogether(std::vector<std::string> offers) {
    const int before = checks_;
    SpawnRequest request;
    request.path = BRIMVALE_SELECTION_OWNER;
    request.args = std::move(offers);
    request.envAdditions = {{"DISPLAY", display_.name()}};
    auto owner = spawn(request);
    ASSERT_TRUE(owner);
    owners_.push_back(owner->pid);
    ASSERT_TRUE(loop_.runUntil([&] { return checks_ > before; })) << "no clipboard event";
  }
  fs::path file(const std::string& name, const std::string& content) {
    const fs::path path = home_ / "input" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  fs::path uriList(const std::string& name, int count) {
    std::string list;
    for (int i = 1; i <= count; ++i)
      list +=
          platform::fileUrlOfPath(file("f" + std::to_string(i) + ".txt", "x").string()) + "\r\n";
    return file(name, list);
  }

  // What another program pastes (as `type` when given).
  std::string pasted(const std::string& type = {}) {
    const auto out = file("pasted.txt", "");
    SpawnRequest paste;
    paste.path = "/usr/bin/xclip";
    paste.args = {"-selection", "clipboard", "-o"};
    if (!type.empty()) paste.args.insert(paste.args.end(), {"-t", type});
    paste.envAdditions = {{"DISPLAY", display_.name()}};
    paste.stdoutTo = OutputTarget::truncate(out.string());
    auto reader = spawn(paste);
    if (!reader) return {};
    ::waitpid(reader->pid, nullptr, 0);
    std::ifstream in(out);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // Ends the owners started so far, then lets the watcher look at the
  // clipboard they left empty.
  void endOwners() {
    const int before = checks_;
    for (const int pid : owners_) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
    owners_.clear();
    ASSERT_TRUE(loop_.runUntil([&] { return checks_ > before; })) << "no clipboard event";
  }

  void TearDown() override {
    watcher_.reset();
    clipboard_.reset();
    for (const int pid : owners_) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }

  brimvale::testing::XvfbDisplay display_;
  brimvale::testing::TempHome home_{brimvale::testing::StateFolder::kCreated};
  platform::testing::MemoryDefaults defaults_;
  testing::TestLoop loop_;
  std::atomic<int> checks_{0};
  std::unique_ptr<platform::X11Clipboard> clipboard_;
  std::optional<JunkStore> store_;
  std::optional<JunkClipboardWatcher> watcher_;
  std::vector<int> owners_;
};

TEST_F(JunkCaptureE2e, CopiesLandWithTheirKinds) {
  const auto png = file("red.png", std::string(kPng.begin(), kPng.end()));
  xclip("UTF8_STRING", file("text.txt", "  a note to self\n"));
  xclip("UTF8_STRING", file("link.txt", "https://example.org/board"));
  xclip("image/png", png);
  xclip("text/uri-list", uriList("one.uris", 1));

  auto items = store_->items();
  ASSERT_EQ(items.size(), 4u);
  // Newest first.
  EXPECT_EQ(items[0].kind, JunkKind::kFileRef);
  EXPECT_EQ(items[0].fileRefName, "f1.txt");
  EXPECT_EQ(items[1].kind, JunkKind::kImage);
  ASSERT_TRUE(items[1].mediaFile);
  // The offered PNG is kept byte for byte (it is RGB; a re-encoding would be RGBA).
  EXPECT_EQ(readFile(store_->paths().media / *items[1].mediaFile),
            std::string(kPng.begin(), kPng.end()));
  store_->waitForThumbnails();
  EXPECT_TRUE(fs::exists(store_->paths().media / *items[1].thumbFile));
  EXPECT_EQ(items[2].kind, JunkKind::kText);
  EXPECT_EQ(junkItemLink(items[2]), "https://example.org/board");
  EXPECT_EQ(items[3].plainText, "a note to self");
  EXPECT_EQ(junkItemLink(items[3]), std::nullopt);
  for (const auto& item : items) EXPECT_EQ(item.source, JunkSource::kClipboard);

  // A BMP-only offer (2x1 pixels, 24-bit, rows padded to four bytes) is kept as PNG.
  const std::string bmp = std::string("BM\x3E\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0", 18) +
                          std::string("\x02\0\0\0\x01\0\0\0\x01\0\x18\0", 12) +
                          std::string(24, '\0') + std::string("\0\0\xFF\0\xFF\0\0\0", 8);
  xclip("image/bmp", file("two.bmp", bmp));
  const JunkItem image = store_->items()[0];
  EXPECT_EQ(image.kind, JunkKind::kImage);
  auto saved = readFile(store_->paths().media / *image.mediaFile);
  ASSERT_TRUE(saved);
  EXPECT_EQ(junkImageSize({saved->begin(), saved->end()}), (std::pair{2, 1}));
}

// Given an owner that marks its offer private, or whose marker or type list
// cannot be had (refused, or later than the reader waits), then its text is
// not kept; the same text without a marker is.
TEST_F(JunkCaptureE2e, PasswordsNeverReachTheDiskEvenWhenTheMarkerCannotBeRead) {
  struct Case {
    const char* name;
    std::vector<std::string> offer;
    bool kept;
  };
  const Case cases[] = {
      {"desktop marker", {"UTF8_STRING=Hunter2-marker", "x-kde-passwordManagerHint=secret"}, false},
      {"marker listed but refused",
       {"UTF8_STRING=Hunter2-refused", "--refuse=x-kde-passwordManagerHint"},
       false},
      {"marker listed but slow",
       {"UTF8_STRING=Hunter2-slow", "x-kde-passwordManagerHint=secret",
        "--slow=x-kde-passwordManagerHint"},
       false},
      {"concealed", {"UTF8_STRING=Hunter2-concealed", "org.nspasteboard.ConcealedType="}, false},
      {"transient", {"UTF8_STRING=Hunter2-transient", "org.nspasteboard.TransientType="}, false},
      {"type list refused",
       {"UTF8_STRING=Hunter2-no-list", "x-kde-passwordManagerHint=secret", "--refuse=TARGETS"},
       false},
      {"type list slow",
       {"UTF8_STRING=Hunter2-late-list", "x-kde-passwordManagerHint=secret", "--slow=TARGETS"},
       false},
      {"no marker", {"UTF8_STRING=visible text"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offerTogether(c.offer);
    if (c.kept) {
      ASSERT_EQ(store_->items().size(), 1u);
      EXPECT_EQ(store_->items()[0].plainText, "visible text");
    } else {
      EXPECT_TRUE(store_->items().empty());
    }
    // A late answer of this owner must not meet the next case's reads.
    endOwners();
  }
  for (const auto& entry : fs::recursive_directory_iterator(home_.path() / ".brimvale")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(content.find("Hunter2"), std::string::npos) << entry.path();
  }
}

TEST_F(JunkCaptureE2e, CommandLineCopyBackOutlivesTheCommandAndIsNotCapturedAgain) {
  ScrapContent content;
  content.plainText = "from the command line";
  auto added = store_->addContent(content);
  ASSERT_TRUE(added);
  const int before = checks_;
  SpawnRequest copy;
  copy.path = BRIMVALE_PATH;
  copy.args = {"junk", "copy", added->id};
  copy.envAdditions = {{"HOME", home_.path().string()}, {"DISPLAY", display_.name()}};
  auto command = spawn(copy);
  ASSERT_TRUE(command);
  int status = -1;
  ::waitpid(command->pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The watcher hears the new owner and leaves it alone.
  ASSERT_TRUE(loop_.runUntil([&] { return checks_ > before; }));
  ASSERT_TRUE(store_->load());
  EXPECT_EQ(store_->items().size(), 1u);

  EXPECT_EQ(pasted(), "from the command line");
  // Taking the clipboard ends the background holder.
  xclip("UTF8_STRING", file("next.txt", "next"));
}

TEST(JunkCaptureE2eDisplay, AnEndedXServerLeavesTheProcessRunning) {
  auto display = std::make_unique<brimvale::testing::XvfbDisplay>();
  auto clipboard = platform::X11Clipboard::open(display->name());
  ASSERT_TRUE(clipboard);
  display.reset();  // Xlib's default would end this process here
  for (int i = 0; i < 100 && (*clipboard)->connected(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE((*clipboard)->connected());
  EXPECT_FALSE((*clipboard)->types());
  EXPECT_FALSE((*clipboard)->write({.text = "nowhere"}));
}

}  // namespace
}  // namespace brimvale::junk
