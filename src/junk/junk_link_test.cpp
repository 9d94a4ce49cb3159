#include "junk/junk_link.h"

#include <gtest/gtest.h>

namespace brimvale::junk {
namespace {

TEST(JunkLink, OnlyWholeAddressesAreLinks) {
  const std::string longest = "https://example.com/" + std::string(2048 - 20, 'a');
  struct Case {
    std::string text;
    std::optional<std::string> link;
  };
  const Case cases[] = {
      {"https://example.com/a?b=c", "https://example.com/a?b=c"},
      {"  http://example.org\n", "http://example.org"},
      {"HTTPS://Example.com", "HTTPS://Example.com"},
      {"https://user@example.com:8080/x", "https://user@example.com:8080/x"},
      {"https://localhost/x", std::nullopt},
      {"https://localhost:80.5", std::nullopt},
      {"ftp://example.com", std::nullopt},
      {"www.example.com/page", "https://www.example.com/page"},
      {"see www.example.com", std::nullopt},
      {"https://example.com/a b", std::nullopt},
      {"https://example.com/a\tb", std::nullopt},
      {"https://example.com/a\nb", std::nullopt},
      {"example.com", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {longest, longest},
      {longest + "a", std::nullopt},
      {"www." + std::string(2045, 'x'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    EXPECT_EQ(junkLinkOf(c.text), c.link);
  }
}

}  // namespace
}  // namespace brimvale::junk
