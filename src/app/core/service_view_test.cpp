#include "app/core/service_view.h"

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {

// The drive list's decoding reduced to whether it failed, to share a table with the renderers.
Result<std::string> decodedList(std::string_view json) {
  auto drives = decodeDriveList(json);
  if (!drives) return std::unexpected(drives.error());
  return std::string();
}

TEST(ServiceView, AnswersThatAreNotTheExpectedShapeAreRefused) {
  const std::pair<const char*, Result<std::string>> cases[] = {
      {"drive list not JSON", decodedList("oops")},
      {"drive list an object", decodedList("{}")},
      {"assessment without verdict", assessmentVerdict(R"({"reasons":[]})")},
      {"assessment not JSON", renderAssessment("/x", "{")},
      {"scan line not JSON", renderStorageScan("{\"phase\":\"started\"}\nnot json\n", false)},
      {"transfer status a list", renderTransferStatus("[]")},
  };
  for (const auto& [what, result] : cases) {
    SCOPED_TRACE(what);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, Errc::kParse);
  }
}

}  // namespace
}  // namespace brimvale::app
