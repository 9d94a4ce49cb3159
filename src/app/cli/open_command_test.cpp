#include "app/cli/open_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/base/file_io.h"
#include "testing/base/temp_home.h"
#include "web/access_tokens.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

// The token is the sixty-four hex digits after value=" in the page.
std::string tokenIn(const std::string& page) {
  const auto at = page.find("value=\"");
  return at == std::string::npos ? "" : page.substr(at + 7, 64);
}

TEST(OpenCommand, HandsTheBrowserAPrivatePageNeverTheToken) {
  brimvale::testing::TempHome home(brimvale::testing::StateFolder::kCreated);
  ASSERT_TRUE(writeFileAtomically(home.state() / "dashboard.url", "http://127.0.0.1:4321/\n"));
  std::vector<std::string> opened;
  std::ostringstream out, err;
  OpenCommandHost host{home.paths(), [&](const std::string& f) { opened.push_back(f); }, out, err};
  ASSERT_EQ(openCommand(host), 0) << err.str();

  const fs::path page = home.state() / kSignInPage;
  ASSERT_EQ(opened, std::vector<std::string>{page.string()});
  EXPECT_EQ(fs::status(page).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const std::string text = *readFile(page);
  EXPECT_NE(text.find("action=\"http://127.0.0.1:4321/session\""), std::string::npos);
  const std::string token = tokenIn(text);
  EXPECT_TRUE(web::looksLikeKey(token));
  EXPECT_EQ(out.str().find(token), std::string::npos);
  // The page's token is one the running server will accept, once.
  web::TokenBook book(home.state() / web::kTokenFolder, [] { return std::time(nullptr); });
  EXPECT_TRUE(book.redeem(token));
  EXPECT_FALSE(book.redeem(token));
}

TEST(OpenCommand, PageKeepsMarkupCharactersOutOfItsAttributes) {
  const std::string page = signInPage("http://127.0.0.1:1/\"><script>", "t&k");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("&quot;&gt;&lt;script&gt;session"), std::string::npos);
  EXPECT_NE(page.find("value=\"t&amp;k\""), std::string::npos);
}

}  // namespace
}  // namespace brimvale::app
