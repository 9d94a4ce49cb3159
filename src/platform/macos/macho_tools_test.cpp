#include "platform/macos/macho_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/base/temp_folder.h"

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
}

}  // namespace
}  // namespace brimvale::platform
