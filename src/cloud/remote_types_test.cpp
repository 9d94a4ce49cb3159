#include "cloud/remote_types.h"

#include <gtest/gtest.h>

namespace brimvale::cloud {
namespace {

TEST(RemoteTypes, AddingPastTheLimitIsRefusedOnlyForThatType) {
  struct Case {
    const char* adding;
    std::vector<std::string> existing;
    std::optional<std::string> refusal;
  } cases[] = {
      {"drive", std::vector<std::string>(5, "drive"),
       "Account limit reached for Google Drive. Remove one to add another."},
      {"drive", std::vector<std::string>(4, "drive"), std::nullopt},
      {"s3", std::vector<std::string>(5, "drive"), std::nullopt},
      {"webdav", std::vector<std::string>(500, "webdav"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.adding) + " after " + std::to_string(c.existing.size()));
    EXPECT_EQ(accountLimitRefusal(c.adding, c.existing), c.refusal);
  }
}

}  // namespace
}  // namespace brimvale::cloud
