#include "service/rules/storage_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/base/disk_usage.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "service/dispatch.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

// Given a freedesktop home, then the scan measures where Linux keeps things,
// one line per flatpak app's cache, and no macOS folder.
TEST(StorageReport, FreedesktopScanMeasuresTheLinuxPlaces) {
  ContextInTempHome home("");
  const fs::path h = home.home();
  for (const char* folder :
       {".var/app/org.b.Viewer/cache", ".var/app/org.a.Editor/cache", ".var/app/org.c.NoCache/data",
        "snap/firefox", ".local/share/Trash/files", "Library/Caches/pip"}) {
    fs::create_directories(h / folder);
  }
  fs::create_directories(h / ".cache/pip");
  std::ofstream(h / ".cache/pip/wheel") << std::string(10000, 'w');
  ServiceContext& ctx = home.load();
  ASSERT_EQ(scanStorageIn(HomeLayout::kFreedesktop, ctx), 0);
  auto line = [&](const std::string& path, const std::string& label, int bytes, bool actionable) {
    return "{\"path\":\"" + (h / path).string() + "\",\"label\":\"" + label +
           "\",\"size_bytes\":" + std::to_string(bytes) +
           ",\"actionable\":" + (actionable ? "true" : "false") + "}\n";
  };
  EXPECT_EQ(
      home.out().str(),
      "{\"timestamp\":\"2026-05-01T01:46:40Z\",\"phase\":\"started\"}\n" +
          line(".var/app/org.a.Editor/cache", "Flatpak app cache (org.a.Editor)", 4096, true) +
          line(".var/app/org.b.Viewer/cache", "Flatpak app cache (org.b.Viewer)", 4096, true) +
          line("snap", "Snap app data", 8192, false) + line(".cache", "Cache folder", 20480, true) +
          line(".local/share/Trash", "Trash", 8192, true) +
          "{\"timestamp\":\"2026-05-01T01:46:40Z\",\"phase\":\"done\",\"probed\":5,"
          "\"total_bytes\":45056}\n");
}

TEST(StorageReport, HistoryIsCutToTheNewestRows) {
  ContextInTempHome home("");
  const fs::path history = home.paths().state / "history.ndjson";
  std::string rows;
  for (int i = 0; i < 365; ++i) rows += "{\"row\":" + std::to_string(i) + "}\n";
  std::ofstream(history) << rows;
  ServiceContext& ctx = home.load();
  ASSERT_EQ(runService(ctx, {"snapshot"}), 0);
  EXPECT_EQ(home.out().str(), "Snapshot written: 2026-05-01T01:46:40Z\n");
  const std::string text = readFile(history).value_or("");
  const auto lines = splitLines(text);
  ASSERT_EQ(lines.size(), 365u);
  EXPECT_EQ(lines.front(), "{\"row\":1}");
  EXPECT_TRUE(lines.back().starts_with("{\"ts\":\"2026-05-01T01:46:40Z\""));
}

}  // namespace
}  // namespace brimvale::service
