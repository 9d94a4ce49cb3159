#include "platform/macos/macho_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

// Recorded `otool -L` of a framework binary (its own name comes first).
constexpr std::string_view kFrameworkOutput =
    "/Applications/X.app/Contents/Frameworks/K.framework/K:\n"
    "\t@rpath/K.framework/Versions/A/K (compatibility version 1.0.0, current version 1.0.0)\n"
    "\t/usr/lib/libSystem.B.dylib (compatibility version 1.0.0, current version 1311.0.0)\n"
    "\t/usr/local/lib/libw.dylib (compatibility version 0.0.0, current version 0.0.0, reexport)\n";

// Recorded `otool -arch all -L` of a universal program.
constexpr std::string_view kUniversalOutput =
    "/Applications/X.app/Contents/MacOS/X (architecture x86_64):\n"
    "\t/Applications/X.app/Contents/Frameworks/libl.dylib (compatibility version 0.0.0, current "
    "version 0.0.0, weak)\n"
    "\t/usr/lib/libSystem.B.dylib (compatibility version 1.0.0, current version 1311.0.0)\n"
    "/Applications/X.app/Contents/MacOS/X (architecture arm64):\n"
    "\t/usr/lib/libSystem.B.dylib (compatibility version 1.0.0, current version 1311.0.0)\n"
    "\t/opt/homebrew/lib/libz.1.dylib (compatibility version 1.0.0, current version 1.2.13)\n";

TEST(CodeInspectionTools, ReadsOtoolLoadPaths) {
  const struct {
    const char* name;
    std::string_view output;
    std::string_view installName;
    Paths paths;
  } kCases[] = {
      {"framework without its own name",
       kFrameworkOutput,
       "@rpath/K.framework/Versions/A/K",
       {"/usr/lib/libSystem.B.dylib", "/usr/local/lib/libw.dylib"}},
      {"framework name unknown",
       kFrameworkOutput,
       "",
       {"@rpath/K.framework/Versions/A/K", "/usr/lib/libSystem.B.dylib",
        "/usr/local/lib/libw.dylib"}},
      {"universal program, paths once",
       kUniversalOutput,
       "",
       {"/Applications/X.app/Contents/Frameworks/libl.dylib", "/usr/lib/libSystem.B.dylib",
        "/opt/homebrew/lib/libz.1.dylib"}},
      // A later line equal to the name is a real load, not the header's echo.
      {"own name only dropped first",
       "lib:\n\t/a (compatibility version 1)\n\t/b\n",
       "/b",
       {"/a", "/b"}},
      {"not an object file", "/tmp/x: is not an object file\n", "", {}},
      {"empty", "", "", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parseOtoolLoadPaths(c.output, c.installName), c.paths);
  }
}

TEST(CodeInspectionTools, ReadsInstallNameAndEntitlements) {
  EXPECT_EQ(parseOtoolInstallName("/F/K:\n@rpath/K.framework/Versions/A/K\n"),
            "@rpath/K.framework/Versions/A/K");
  EXPECT_EQ(parseOtoolInstallName("/Applications/X.app/Contents/MacOS/X:\n"), "");

  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "\t<key>com.apple.security.app-sandbox</key>\n\t<true/>\n</dict>\n</plist>";
  EXPECT_EQ(parseCodesignEntitlementsXml("Executable=/Applications/X.app/Contents/MacOS/X\n" +
                                         plist + "\n"),
            plist);
  EXPECT_EQ(parseCodesignEntitlementsXml("Executable=/Applications/X.app/Contents/MacOS/X\n"), "");
  EXPECT_EQ(parseCodesignEntitlementsXml("</plist><plist>"), "");
}

// Stand-in tools: a script per case in a temporary folder.
TEST(CodeInspectionTools, RunsTheToolsWithinTheDeadline) {
  brimvale::testing::TempFolder dir("bv-tools");
  auto script = [&](const std::string& name, const std::string& body) {
    const fs::path path = dir.file(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path.string();
  };
  const std::string otool =
      script("otool",
             "if [ \"$1\" = -D ]; then printf '%s:\\n/F/libme.dylib\\n' \"$2\"; "
             "else printf '%s:\\n\\t/F/libme.dylib (compatibility version "
             "1.0.0)\\n\\t/usr/lib/libc.dylib\\n' \"$2\"; fi\n");
  const std::string codesign =
      script("codesign", "printf 'Executable=x\\n<plist><dict/></plist>\\n'\n");
  const std::string failing = script("failing", "echo broken >&2; exit 1\n");
  const std::string slow = script("slow", "exec sleep 30\n");
  const std::chrono::milliseconds quick{300};

  auto paths = otoolLoadPaths({.otool = otool, .deadline = quick}, "/F/libme.dylib");
  ASSERT_TRUE(paths.has_value()) << paths.error().detail;
  EXPECT_EQ(*paths, Paths{"/usr/lib/libc.dylib"});
  EXPECT_EQ(
      codesignEntitlementsXml({.codesign = codesign, .deadline = quick}, "/A.app").value_or(""),
      "<plist><dict/></plist>");

  const struct {
    const char* name;
    std::string tool;
    Errc code;
  } kFailures[] = {
      {"exits non-zero", failing, Errc::kToolFailed},
      {"overruns", slow, Errc::kTimedOut},
      {"missing", (dir / "absent").string(), Errc::kToolFailed},
  };
  for (const auto& c : kFailures) {
    SCOPED_TRACE(c.name);
    const CodeInspectionTools tools{.otool = c.tool, .codesign = c.tool, .deadline = quick};
    EXPECT_EQ(otoolLoadPaths(tools, "/F/x").error().code, c.code);
    EXPECT_EQ(codesignEntitlementsXml(tools, "/A.app").error().code, c.code);
  }
}

}  // namespace
}  // namespace brimvale::platform
