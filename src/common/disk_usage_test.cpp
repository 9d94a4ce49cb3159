#include "common/disk_usage.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/process.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

std::uint64_t duSk(const fs::path& p) {
  ProcessResult r = runProcess({.path = "/usr/bin/du", .args = {"-sk", "--", p.string()}});
  return std::stoull(r.out) * 1024;
}

void writeBytes(const fs::path& p, std::size_t n) {
  std::ofstream(p) << std::string(n, 'x');
}

TEST(DiskUsage, MatchesDuOnTheSameTrees) {
  char tmpl[] = "/tmp/brimvale-du-XXXXXX";
  fs::path root = mkdtemp(tmpl);
  struct Case {
    const char* name;
    void (*build)(const fs::path&);
  };
  const Case cases[] = {
      {"empty folder", [](const fs::path&) {}},
      {"small and large files",
       [](const fs::path& d) {
         writeBytes(d / "a", 1);
         writeBytes(d / "b", 5000);
         writeBytes(d / "c", 3 << 20);
       }},
      {"hard links counted once",
       [](const fs::path& d) {
         writeBytes(d / "orig", 200000);
         fs::create_hard_link(d / "orig", d / "link1");
         fs::create_directory(d / "sub");
         fs::create_hard_link(d / "orig", d / "sub" / "link2");
       }},
      {"symlinks not followed",
       [](const fs::path& d) {
         fs::create_directory_symlink("/usr", d / "usr-link");
         fs::create_symlink("/etc/passwd", d / "file-link");
       }},
      {"odd names and deep nesting",
       [](const fs::path& d) {
         fs::path p = d;
         for (int i = 0; i < 40; ++i) p /= "level \"" + std::to_string(i) + "\"\n";
         fs::create_directories(p);
         writeBytes(p / "deep file", 10000);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path dir = root / c.name;
    fs::create_directory(dir);
    c.build(dir);
    EXPECT_EQ(diskUsageBytes(dir), duSk(dir));
  }
  EXPECT_EQ(diskUsageBytes(root / "b" / "missing"), std::nullopt);
  fs::remove_all(root);
}

}  // namespace
}  // namespace brimvale
