#include "apps/macho_reader_bundle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader_test_files.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

constexpr std::uint32_t kX86_64Cpu = 0x01000007;

void writeBytes(const fs::path& path, const std::vector<std::byte>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

TEST(MachOReaderBundle, ClassifiesLoadPaths) {
  using enum LoadPathKind;
  const std::pair<const char*, LoadPathKind> kCases[] = {
      {"@rpath/A.framework/A", kRelativeOK},
      {"@executable_path/../Frameworks/a.dylib", kRelativeOK},
      {"@loader_path/a.dylib", kRelativeOK},
      {"/Applications/X.app/Contents/Frameworks/a.dylib", kHardcodedAppPath},
      // Another app's bundle, or a name that only shares the prefix, is not this app's.
      {"/Applications/X.app2/a.dylib", kUnsupportedAbsolute},
      {"/Applications/Y.app/a.dylib", kUnsupportedAbsolute},
      {"/System/Library/Frameworks/AppKit.framework/AppKit", kSystemAbsolute},
      {"/Library/Frameworks/Mono.framework/Mono", kSystemAbsolute},
      {"/usr/lib/libSystem.B.dylib", kSystemAbsolute},
      {"/usr/local/lib/libssl.dylib", kSystemAbsolute},
      {"/opt/homebrew/lib/libz.dylib", kUnsupportedAbsolute},
      {"/usr/libexec/x.dylib", kUnsupportedAbsolute},
      {"libbare.dylib", kUnsupportedAbsolute},
  };
  for (const auto& [path, kind] : kCases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(classifyLoadPath(path, "/Applications/X.app"), kind);
  }
  EXPECT_EQ(classifyLoadPath("/Applications/X.app/a.dylib", "/Applications/X.app/"),
            kHardcodedAppPath);
}

// The program loads a framework by the bundle's own absolute path; the framework's install name
// (the same path) is no load; a file the reader cannot parse goes to the tool.
TEST(MachOReaderBundle, ScanReportsHardcodedPathsButNotInstallNames) {
  TempFolder dir("bv-bundle");
  const fs::path app = dir.folder("X.app");
  const std::string frameworkPath = (app / "Contents/Frameworks/K.framework/K").string();
  const std::string system = "/usr/lib/libSystem.B.dylib";
  writeBytes(frameworkPath, testing::handMadeMachO(true, false, kX86_64Cpu,
                                                   {{testing::kHandIdDylib, frameworkPath},
                                                    {testing::kHandLoadDylib, system}}));
  writeBytes(app / "Contents/MacOS/X",
             testing::handMadeMachO(
                 true, false, kX86_64Cpu,
                 {{testing::kHandLoadDylib, frameworkPath}, {testing::kHandLoadDylib, system}}));
  dir.file("X.app/Contents/MacOS/launch.sh", "#!/bin/sh\n");

  std::vector<fs::path> askedFallback;
  const MachOToolFallback fallback{.loadPaths = [&](const fs::path& binary) {
    askedFallback.push_back(binary);
    return Result<std::vector<std::string>>(std::vector<std::string>{"/opt/tool/lib.dylib"});
  }};
  EXPECT_EQ(
      scanBundleLoadPaths(app, fallback),
      (std::vector<BundleLoadCommand>{
          {"Contents/MacOS/X", frameworkPath, LoadPathKind::kHardcodedAppPath},
          {"Contents/MacOS/X", system, LoadPathKind::kSystemAbsolute},
          {"Contents/MacOS/launch.sh", "/opt/tool/lib.dylib", LoadPathKind::kUnsupportedAbsolute},
          {"Contents/Frameworks/K.framework/K", system, LoadPathKind::kSystemAbsolute},
      }));
  EXPECT_EQ(askedFallback, std::vector<fs::path>{app / "Contents/MacOS/launch.sh"});
  // Without a fallback such a file simply adds nothing.
  EXPECT_EQ(scanBundleLoadPaths(app).size(), 3u);
}

}  // namespace
}  // namespace brimvale::apps
