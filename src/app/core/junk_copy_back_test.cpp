#include "app/core/junk_copy_back.h"

#include <gtest/gtest.h>

#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {

using junk::JunkItem;
using junk::JunkKind;

TEST(JunkCopyBack, EachKindOffersWhatCanBePasted) {
  testing::TempFolder media;
  media.file("A.png", "png bytes");
  struct Case {
    const char* name;
    JunkItem item;
    std::string text;
    std::vector<std::string> files;
    std::string png;
    bool ok = true;
  };
  JunkItem text{.kind = JunkKind::kText, .plainText = "hello"};
  JunkItem rich{.kind = JunkKind::kRichText, .plainText = "plain", .richHTML = "<b>plain</b>"};
  JunkItem one{.kind = JunkKind::kFileRef, .fileRefPath = "/tmp/a b.pdf", .fileRefName = "a b.pdf"};
  JunkItem group{.kind = JunkKind::kFileGroup,
                 .files = std::vector<junk::JunkFile>{{"/tmp/x", "x"}, {"/tmp/y", "y"}}};
  JunkItem image{.kind = JunkKind::kImage, .mediaFile = "A.png"};
  JunkItem lost{.kind = JunkKind::kImage, .mediaFile = "gone.png"};
  const Case cases[] = {
      {"text", text, "hello", {}, ""},
      {"rich text with its plain fallback", rich, "plain", {}, ""},
      {"one file", one, "/tmp/a b.pdf", {"/tmp/a b.pdf"}, ""},
      {"file group", group, "/tmp/x\n/tmp/y", {"/tmp/x", "/tmp/y"}, ""},
      {"image", image, "", {}, "png bytes"},
      {"image whose file is gone", lost, "", {}, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto offer = junkClipboardOffer(c.item, media.path());
    ASSERT_EQ(offer.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(offer->text, c.text);
    EXPECT_EQ(offer->filePaths, c.files);
    EXPECT_EQ(offer->rich.html, c.item.richHTML.value_or(""));
    EXPECT_EQ(std::string(offer->png.begin(), offer->png.end()), c.png);
  }
}

}  // namespace
}  // namespace brimvale::app
