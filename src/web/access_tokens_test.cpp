#include "web/access_tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "testing/base/temp_folder.h"

namespace brimvale::web {
namespace {

TEST(AccessTokens, TokenIsSpentByItsFirstRedeemAndExpiresAfterAMinute) {
  struct Case {
    const char* name;
    std::time_t elapsed;  // between minting and redeeming
    int redeems;          // how many times it is presented
    bool lastAccepted;
  };
  const Case cases[] = {
      {"fresh", 0, 1, true},
      {"at the last valid second", 60, 1, true},
      {"one second too late", 61, 1, false},
      {"second use", 0, 2, false},
      {"clock went back", -5, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder folder;
    std::time_t now = 1'000'000;
    TokenBook book(folder / "tokens", [&] { return now; });
    auto token = book.mint();
    ASSERT_TRUE(token.has_value());
    now += c.elapsed;
    bool accepted = false;
    for (int i = 0; i < c.redeems; ++i) accepted = book.redeem(*token);
    EXPECT_EQ(accepted, c.lastAccepted);
    // Whatever the answer, a presented token can never be used again.
    EXPECT_FALSE(std::filesystem::exists(folder / "tokens" / *token));
  }
}

TEST(AccessTokens, MalformedTokensNeverNameAFile) {
  brimvale::testing::TempFolder folder;
  folder.file("outside", "1000000");
  folder.file("tokens/ABCDEF", "1000000");
  TokenBook book(folder / "tokens", [] { return std::time_t{1'000'000}; });
  for (const char* token : {"", "../outside", "ABCDEF", "abc",
                            "0123456789abcdef0123456789abcdef"
                            "0123456789abcdef0123456789abcdeg"}) {
    SCOPED_TRACE(token);
    EXPECT_FALSE(book.redeem(token));
  }
  EXPECT_TRUE(std::filesystem::exists(folder / "outside"));
  EXPECT_TRUE(std::filesystem::exists(folder / "tokens/ABCDEF"));
}

TEST(AccessTokens, TokensAndTheirFolderArePrivate) {
  brimvale::testing::TempFolder folder;
  TokenBook book(folder / "tokens", [] { return std::time_t{5}; });
  auto first = book.mint();
  auto second = book.mint();
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_TRUE(looksLikeKey(*first));
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(folder / "tokens").permissions() & perms::all,
            perms::owner_all);
  EXPECT_EQ(std::filesystem::status(folder / "tokens" / *first).permissions() & perms::all,
            perms::owner_read | perms::owner_write);
}

TEST(AccessTokens, SessionsCloseAfterTwelveIdleHoursAndUseKeepsThemOpen) {
  constexpr std::time_t kHour = 3600;
  struct Case {
    const char* name;
    std::vector<std::time_t> usesAt;  // seconds after opening, in order
    bool lastAccepted;
  };
  const Case cases[] = {
      {"used at once", {0}, true},
      {"exactly twelve idle hours", {12 * kHour}, true},
      {"a second past twelve hours", {12 * kHour + 1}, false},
      {"kept open by use every eleven hours", {11 * kHour, 22 * kHour, 33 * kHour}, true},
      {"closed for good once idle", {13 * kHour, 13 * kHour + 1}, false},
      {"clock went back", {-5}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::time_t now = 1'000'000;
    const std::time_t opened = now;
    SessionBook sessions([&] { return now; });
    auto key = sessions.open();
    ASSERT_TRUE(key.has_value());
    bool accepted = false;
    for (std::time_t at : c.usesAt) {
      now = opened + at;
      accepted = sessions.use(*key);
    }
    EXPECT_EQ(accepted, c.lastAccepted);
    // Only the keys it opened.
    EXPECT_FALSE(sessions.use(""));
    EXPECT_FALSE(sessions.use(key->substr(1)));
  }
}

}  // namespace
}  // namespace brimvale::web
