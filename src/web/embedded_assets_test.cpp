#include "web/embedded_assets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brimvale::web {
namespace {

std::size_t count(std::string_view text, std::string_view part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Given pages that hold only their own part, then each is served whole:
// one document, one navigation with every page in it, its own link marked
// current and nothing else marked, its own title and script kept.
TEST(EmbeddedAssets, EveryPageIsServedInTheSharedFrameMarkingItsOwnLink) {
  const std::vector<std::string> names{"home",  "storage",  "moves", "apps",       "transfers",
                                       "rules", "activity", "junk",  "preferences"};
  std::size_t pages = 0;
  for (const auto& asset : embeddedAssets()) pages += asset.path.ends_with(".html") ? 1 : 0;
  EXPECT_EQ(pages, names.size()) << "a page without a row here";
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const std::string link = name == "home" ? "/" : "/" + name + ".html";
    const Asset* asset = findAsset("/" + name + ".html");
    ASSERT_NE(asset, nullptr);
    const std::string_view body = asset->body;
    EXPECT_TRUE(body.starts_with("<!doctype html>\n")) << body.substr(0, 40);
    EXPECT_EQ(count(body, "<nav "), 1u);
    EXPECT_EQ(count(body, "<li><a href="), names.size());
    EXPECT_EQ(count(body, "aria-current"), 1u);
    EXPECT_NE(body.find("href=\"" + link + "\" aria-current=\"page\">"), std::string_view::npos);
    EXPECT_EQ(count(body, "<script type=\"module\" src=\"/" + name + ".js\">"), 1u);
    EXPECT_LT(body.find("<title>"), body.find("</head>"));
    EXPECT_LT(body.find("</header>"), body.find("<main id=\"main\">"));
    EXPECT_TRUE(body.ends_with("</main>\n</body>\n</html>\n"));
    EXPECT_EQ(body.find('@'), std::string_view::npos) << "a placeholder left in";
  }
}

}  // namespace
}  // namespace brimvale::web
