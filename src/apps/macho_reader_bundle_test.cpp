#include "apps/macho_reader_bundle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "apps/code_signature_blob.h"
#include "apps/macho_reader_test_files.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

constexpr std::uint32_t kX86_64 = 0x01000007;

std::string infoPlist(const std::string& executable) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleExecutable</key><string>" +
         executable + "</string></dict></plist>\n";
}

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

TEST(MachOReaderBundle, PicksProgramsThenFrameworksByName) {
  TempFolder dir("bv-bundle");
  const fs::path app = dir.folder("X.app");
  dir.file("X.app/Contents/MacOS/b");
  dir.file("X.app/Contents/MacOS/a");
  dir.file("X.app/Contents/MacOS/nested/c");
  dir.file("X.app/Contents/Frameworks/Z.framework/Z");
  dir.file("X.app/Contents/Frameworks/Empty.framework/Resources/r");
  dir.file("X.app/Contents/Frameworks/libq.dylib");
  dir.file("X.app/Contents/Frameworks/notes.txt");

  EXPECT_EQ(bundleBinaries(app),
            (std::vector<fs::path>{app / "Contents/MacOS/a", app / "Contents/MacOS/b",
                                   app / "Contents/Frameworks/Z.framework/Z",
                                   app / "Contents/Frameworks/libq.dylib"}));
  EXPECT_TRUE(bundleBinaries(dir / "Missing.app").empty());
  // At most kMaxScannedBinaries, the programs first.
  for (std::size_t i = 0; i < kMaxScannedBinaries; ++i) {
    dir.file("X.app/Contents/Frameworks/lib" + std::to_string(1000 + i) + ".dylib");
  }
  const auto binaries = bundleBinaries(app);
  ASSERT_EQ(binaries.size(), kMaxScannedBinaries);
  EXPECT_EQ(binaries.front().filename(), "a");
}

TEST(MachOReaderBundle, FindsTheMainExecutable) {
  const struct {
    const char* name;
    const char* infoPlist;  // nullptr: none
    const char* expected;
  } kCases[] = {
      {"named in Info.plist", "Runner", "Runner"},
      {"no Info.plist", nullptr, "My App"},
      {"name that leaves the folder", "../../evil", "My App"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempFolder dir("bv-bundle");
    if (c.infoPlist) dir.file("My App.app/Contents/Info.plist", infoPlist(c.infoPlist));
    EXPECT_EQ(mainExecutable(dir / "My App.app"), dir / "My App.app/Contents/MacOS" / c.expected);
  }
}

// The program loads a framework by the bundle's own absolute path; the framework's install name
// (the same path) is no load; a file the reader cannot parse goes to the tool.
TEST(MachOReaderBundle, ScanReportsHardcodedPathsButNotInstallNames) {
  TempFolder dir("bv-bundle");
  const fs::path app = dir.folder("X.app");
  const std::string frameworkPath = (app / "Contents/Frameworks/K.framework/K").string();
  const std::string system = "/usr/lib/libSystem.B.dylib";
  writeBytes(frameworkPath, testing::handMadeMachO(true, false, kX86_64,
                                                   {{testing::kHandIdDylib, frameworkPath},
                                                    {testing::kHandLoadDylib, system}}));
  writeBytes(app / "Contents/MacOS/X",
             testing::handMadeMachO(
                 true, false, kX86_64,
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

TEST(MachOReaderBundle, EntitlementKeysOfTheMainExecutable) {
  const std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>com.apple.security.device.microphone</key><true/>"
      "<key>com.apple.security.network.server</key><true/></dict></plist>";
  const auto signedExe = testing::handMadeMachO(
      true, false, kX86_64, {},
      testing::superBlob({{kEntitlementsSlot, kEntitlementsBlobMagic, xml}}));
  const auto unsignedExe = testing::handMadeMachO(true, false, kX86_64, {});
  const auto toolXml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>com.apple.security.app-sandbox</key><true/></dict></plist>";
  const struct {
    const char* name;
    std::vector<std::byte> executable;
    bool withFallback;
    std::vector<std::string> keys;
    int fallbackCalls;
  } kCases[] = {
      {"signed with entitlements",
       signedExe,
       true,
       {"com.apple.security.device.microphone", "com.apple.security.network.server"},
       0},
      {"signed without entitlements", unsignedExe, true, {}, 0},
      {"unparsable, tool answers",
       testing::bytesOf("junk"),
       true,
       {"com.apple.security.app-sandbox"},
       1},
      {"unparsable, no tool", testing::bytesOf("junk"), false, {}, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempFolder dir("bv-bundle");
    dir.file("Z.app/Contents/Info.plist", infoPlist("Zed"));
    writeBytes(dir / "Z.app/Contents/MacOS/Zed", c.executable);
    int calls = 0;
    MachOToolFallback fallback;
    if (c.withFallback) {
      fallback.entitlementsXml = [&](const fs::path& bundle) {
        ++calls;
        EXPECT_EQ(bundle, dir / "Z.app");
        return Result<std::string>(toolXml);
      };
    }
    EXPECT_EQ(mainExecutableEntitlementKeys(dir / "Z.app", fallback), c.keys);
    EXPECT_EQ(calls, c.fallbackCalls);
  }
}

}  // namespace
}  // namespace brimvale::apps
