#include "web/embedded_assets.h"

#include <gtest/gtest.h>

#include <string>

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
  struct Case {
    const char* page;
    const char* ownLink;
    const char* script;
  };
  const Case cases[] = {
      {"/home.html", R"(href="/" aria-current="page">Home<)", "/home.js"},
      {"/storage.html", R"(href="/storage.html" aria-current="page">)", "/storage.js"},
      {"/moves.html", R"(href="/moves.html" aria-current="page">)", "/moves.js"},
      {"/apps.html", R"(href="/apps.html" aria-current="page">)", "/apps.js"},
      {"/transfers.html", R"(href="/transfers.html" aria-current="page">)", "/transfers.js"},
      {"/rules.html", R"(href="/rules.html" aria-current="page">)", "/rules.js"},
      {"/activity.html", R"(href="/activity.html" aria-current="page">)", "/activity.js"},
      {"/junk.html", R"(href="/junk.html" aria-current="page">)", "/junk.js"},
      {"/preferences.html", R"(href="/preferences.html" aria-current="page">)", "/preferences.js"},
  };
  std::size_t pages = 0;
  for (const auto& asset : embeddedAssets()) pages += asset.path.ends_with(".html") ? 1 : 0;
  EXPECT_EQ(pages, std::size(cases)) << "a page without a row here";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    const Asset* asset = findAsset(c.page);
    ASSERT_NE(asset, nullptr);
    const std::string_view body = asset->body;
    EXPECT_TRUE(body.starts_with("<!doctype html>\n")) << body.substr(0, 40);
    EXPECT_EQ(count(body, "<nav "), 1u);
    EXPECT_EQ(count(body, "<li><a href="), std::size(cases));
    EXPECT_EQ(count(body, "aria-current"), 1u);
    EXPECT_NE(body.find(c.ownLink), std::string_view::npos);
    EXPECT_EQ(count(body, std::string("<script type=\"module\" src=\"") + c.script + "\">"), 1u);
    EXPECT_LT(body.find("<title>"), body.find("</head>"));
    EXPECT_LT(body.find("</header>"), body.find("<main id=\"main\">"));
    EXPECT_TRUE(body.ends_with("</main>\n</body>\n</html>\n"));
    EXPECT_EQ(body.find('@'), std::string_view::npos) << "a placeholder left in";
  }
}

}  // namespace
}  // namespace brimvale::web
