#include "junk/junk_capture.h"

#include <gtest/gtest.h>

#include "junk/junk_image.h"
#include "junk/junk_settings.h"
#include "junk/recording_scrap_sink.h"
#include "testing/platform/fake_clipboard.h"

namespace brimvale::junk {
namespace {

using platform::testing::FakeClipboard;
using testing::RecordingScrapSink;

std::vector<std::string> paths(int n) {
  std::vector<std::string> out;
  for (int i = 1; i <= n; ++i) out.push_back("/tmp/docs/f" + std::to_string(i) + ".txt");
  return out;
}

std::vector<std::uint8_t> pngOf(int width, int height) {
  const std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4, 0x55);
  return *encodeRgbaPng(pixels.data(), width, height);
}

TEST(JunkCapture, TheFirstCaseThatAppliesMakesAtMostOneScrap) {
  struct Case {
    const char* name;
    std::vector<std::string> types;
    std::optional<std::string> text;
    std::vector<std::string> files;
    std::vector<std::uint8_t> png;
    CaptureOutcome outcome;
    JunkKind kind;
    bool typesUnreadable = false;
  };
  // clang-format off
  const Case cases[] = {
      {"concealed beats text", {"org.nspasteboard.ConcealedType", "UTF8_STRING"}, "hunter2", {}, {},
       CaptureOutcome::kPrivate, {}},
      {"desktop hint, whatever its value", {"x-kde-passwordManagerHint", "UTF8_STRING"}, "hunter2",
       {}, {}, CaptureOutcome::kPrivate, {}},
      {"types unreadable", {"UTF8_STRING"}, "hunter2", {}, {}, CaptureOutcome::kPrivate, {}, true},
      {"own copy back", {"application/x-brimvale-copy-back", "UTF8_STRING"}, "scrap", {}, {},
       CaptureOutcome::kOwnCopy, {}},
      {"files beat image and text", {"text/uri-list"}, "f1.txt", paths(1), pngOf(2, 2),
       CaptureOutcome::kSaved, JunkKind::kFileRef},
      {"two files make a group", {"text/uri-list"}, {}, paths(2), {}, CaptureOutcome::kSaved,
       JunkKind::kFileGroup},
      {"25 files still one card", {"text/uri-list"}, {}, paths(25), {}, CaptureOutcome::kSaved,
       JunkKind::kFileGroup},
      {"26 files nothing", {"text/uri-list"}, {}, paths(26), {}, CaptureOutcome::kTooManyFiles, {}},
      {"image beats text", {"image/png"}, "caption", {}, pngOf(3, 4), CaptureOutcome::kSaved,
       JunkKind::kImage},
      {"bytes that are no PNG fall to text", {"image/png"}, "caption", {}, {1, 2, 3},
       CaptureOutcome::kSaved, JunkKind::kText},
      {"text", {"UTF8_STRING"}, "  hello\n", {}, {}, CaptureOutcome::kSaved, JunkKind::kText},
      {"blank text", {"UTF8_STRING"}, " \n\t ", {}, {}, CaptureOutcome::kNothing, {}},
      {"empty clipboard", {}, std::nullopt, {}, {}, CaptureOutcome::kNothing, {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClipboard clipboard;
    RecordingScrapSink sink;
    clipboard.offer(c.types, c.text, c.files, c.png);
    clipboard.typesUnreadable = c.typesUnreadable;
    JunkCapture capture(clipboard, sink);
    EXPECT_EQ(capture.capture(JunkSource::kClipboard, kJunkDefaultMaxFiles), c.outcome);
    ASSERT_EQ(sink.scraps.size(), c.outcome == CaptureOutcome::kSaved ? 1u : 0u);
    if (c.outcome == CaptureOutcome::kPrivate || c.outcome == CaptureOutcome::kOwnCopy) {
      EXPECT_EQ(clipboard.contentReads, 0);
    }
    if (sink.scraps.empty()) continue;
    EXPECT_EQ(sink.scraps[0].kind, c.kind);
    EXPECT_EQ(sink.scraps[0].source, JunkSource::kClipboard);
  }
}

}  // namespace
}  // namespace brimvale::junk
