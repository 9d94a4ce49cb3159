#include "app/core/service_view.h"

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {

TEST(ServiceView, DriveListDecodesMebibytesIntoBytes) {
  auto drives = decodeDriveList(
      R"([{"name":"Fast","path":"/media/u/Fast","filesystem":"ext4","free_mb":1024,)"
      R"("total_mb":2048,"is_current":true}])");
  ASSERT_TRUE(drives.has_value()) << drives.error().message();
  ASSERT_EQ(drives->size(), 1u);
  EXPECT_EQ((*drives)[0].freeBytes, 1073741824);
  EXPECT_EQ((*drives)[0].totalBytes, 2147483648);
  const std::string table = renderDriveTable(*drives, {"warn"});
  EXPECT_NE(table.find("/media/u/Fast  Fast  ext4"), std::string::npos) << table;
  EXPECT_NE(table.find("2.15 GB  1.07 GB  warn"), std::string::npos) << table;
}

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

TEST(ServiceView, AssessmentReadsAsSentences) {
  struct Case {
    const char* json;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"verdict":"ok","filesystem":"ext4","reasons":[],"warnings":[]})",
       "The drive at /m/d can be used.\n  Its file system is ext4.\n"},
      {R"({"verdict":"warn","filesystem":"exfat","reasons":[],"warnings":["exFAT has no links"]})",
       "The drive at /m/d can be used, but mind the following:\n  exFAT has no links.\n"
       "  Its file system is exfat.\n"},
      {R"({"verdict":"block","reasons":["Path does not exist or is not a directory"]})",
       "The drive at /m/d can't be used:\n  Path does not exist or is not a directory.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto text = renderAssessment("/m/d", c.json);
    ASSERT_TRUE(text.has_value()) << text.error().message();
    EXPECT_EQ(*text, c.expected);
  }
}

TEST(ServiceView, ScanIsLargestFirstWithBarsForTheOutput) {
  const std::string scan =
      "{\"timestamp\":\"2026-12-07T09:30:00Z\",\"phase\":\"started\"}\n"
      "{\"path\":\"/h/.cache\",\"label\":\"Caches\",\"size_bytes\":1000,\"actionable\":true}\n"
      "{\"path\":\"/h/Videos\",\"label\":\"Videos\",\"size_bytes\":4000,\"actionable\":false}\n"
      "{\"timestamp\":\"2026-12-07T09:30:01Z\",\"phase\":\"done\",\"probed\":2,"
      "\"total_bytes\":5000}\n";
  struct Case {
    bool terminal;
    std::string fullBar;
    std::string quarterBar;
  };
  const Case cases[] = {
      {false, std::string(20, '#'), std::string(5, '#') + std::string(15, '.')},
      {true,
       [] {
         std::string s;
         for (int i = 0; i < 20; ++i) s += "\u2588";
         return s;
       }(),
       [] {
         std::string s;
         for (int i = 0; i < 20; ++i) s += i < 5 ? "\u2588" : "\u2591";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.terminal ? "terminal" : "pipe");
    auto text = renderStorageScan(scan, c.terminal);
    ASSERT_TRUE(text.has_value()) << text.error().message();
    const auto videos = text->find("4 KB  " + c.fullBar + "  Videos  /h/Videos");
    const auto caches = text->find("1 KB  " + c.quarterBar + "  Caches  /h/.cache");
    EXPECT_NE(videos, std::string::npos) << *text;
    EXPECT_NE(caches, std::string::npos) << *text;
    EXPECT_LT(videos, caches);
    EXPECT_NE(text->find("Total: 5 KB in 2 places.\n"), std::string::npos) << *text;
  }
}

TEST(ServiceView, TransferStatusByPhase) {
  struct Case {
    const char* json;
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {R"({"phase":"idle"})", {"No drive transfer is under way.\n"}},
      {R"({"kind":"transfer","phase":"copying","sourceRoot":"/old","destRoot":"/new",)"
       R"("bytesDone":1500000000,"bytesTotal":3000000000,"percent":50,"rate":"80MB/s",)"
       R"("etaSeconds":61,"currentFile":"a/b","lastError":""})",
       {"Copying to the new drive… (copying)\n", "From: /old\nTo: /new\n",
        "Progress: 50% — 1.5 GB of 3 GB\n", "Speed: 80MB/s\n", "Time left: about 2 min\n",
        "Now copying: a/b\n"}},
      {R"({"kind":"backup","phase":"failed","sourceRoot":"/old","destRoot":"/new",)"
       R"("lastError":"The drive went away"})",
       {"Couldn't finish (failed)\n", "Last problem: The drive went away.\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto text = renderTransferStatus(c.json);
    ASSERT_TRUE(text.has_value()) << text.error().message();
    for (const char* line : c.lines) EXPECT_NE(text->find(line), std::string::npos) << *text;
  }
}

}  // namespace
}  // namespace brimvale::app
