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

// A finished job says how it ended and nothing of the copying it did.
TEST(ServiceView, TransferStatusOfAnEndedJobNamesNoFileBeingCopied) {
  const std::string tail =
      R"(","sourceRoot":"/a","destRoot":"/b","currentFile":"_pending-delete/","rate":"9 MB/s"})";
  const struct {
    const char* kind;
    const char* phase;
    const char* headline;
    bool copying;
  } cases[] = {
      {"transfer", "done", "Moved everything to the new drive", false},
      {"backup", "done", "Backed everything up to the other drive.", false},
      {"transfer", "failed", "Couldn't finish", false},
      {"backup", "copying", "Backing up…", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.phase);
    auto text = renderTransferStatus(R"({"kind":")" + std::string(c.kind) + R"(","phase":")" +
                                     c.phase + tail);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->starts_with(c.headline)) << *text;
    EXPECT_EQ(text->find("Now copying") != std::string::npos, c.copying) << *text;
    EXPECT_EQ(text->find("Speed") != std::string::npos, c.copying) << *text;
  }
}

// The age order puts the folder changed longest ago first and one whose time is unknown last;
// a folder the excludes kept out is named after the total.
TEST(ServiceView, StorageScanRowsInEachOrder) {
  const std::string scan = R"({"path":"/h/b","label":"B","size_bytes":300})"
                           "\n"
                           R"({"path":"/h/a","label":"A","size_bytes":100})"
                           "\n"
                           R"({"path":"/h/c","label":"C","size_bytes":200})"
                           "\n"
                           R"({"excluded_path":"/h/d","label":"D"})"
                           "\n";
  const ChangeTimeOf changedAt = [](const std::string& path) -> std::optional<std::time_t> {
    if (path == "/h/b") return std::nullopt;
    return path == "/h/a" ? 2'000'000'000 : 1'000'000'000;
  };
  const struct {
    ListingOrder order;
    std::string rows;  // each row's label, in order
  } cases[] = {
      {ListingOrder::kSize, "BCA"}, {ListingOrder::kAge, "CAB"}, {ListingOrder::kName, "ABC"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    const auto text = renderStorageScan(scan, false, c.order, changedAt);
    ASSERT_TRUE(text.has_value());
    std::string rows;
    for (const char label : {'A', 'B', 'C'}) rows += label;
    std::ranges::sort(rows, {},
                      [&](char label) { return text->find(std::string("  ") + label + "  "); });
    EXPECT_EQ(rows, c.rows) << *text;
    EXPECT_EQ(text->starts_with("CHANGED"), c.order == ListingOrder::kAge) << *text;
    EXPECT_TRUE(text->ends_with(" in 3 places.\nNot measured, in your excludes: D (/h/d)\n"))
        << *text;
  }
}

}  // namespace
}  // namespace brimvale::app
