#include "apps/macho_tool_fallback.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"
#include "testing/platform/standin_tool.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using platform::testing::StandinTool;
using Args = std::vector<std::string>;

// Files the native reader cannot parse reach the stand-in tools; their
// answers become the scan's load commands and entitlement keys, and a tool
// that fails adds nothing.
TEST(MachOToolFallback, FilesTheReaderCannotParseGoToTheInspectionTools) {
  struct Case {
    const char* name;
    int exitCode;
    bool answered;
  };
  for (const Case& c : {Case{"tools answer", 0, true}, Case{"tools fail", 1, false}}) {
    SCOPED_TRACE(c.name);
    TempFolder dir("bv-fallback");
    const fs::path app = dir.folder("X.app");
    const std::string own = app.string() + "/Contents/Frameworks/";
    dir.file("X.app/Contents/Info.plist",
             "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
             "<string>X</string></dict></plist>");
    dir.file("X.app/Contents/MacOS/X", "#!/bin/sh\n");
    dir.file("X.app/Contents/Frameworks/K.framework/K", "not a binary");
    const StandinTool otool(dir, "otool");
    const StandinTool codesign(dir, "codesign");
    // As `otool` prints a library: its own name first, which -D names too.
    otool.reply("K:\n\t@rpath/K.framework/Versions/A/K (compatibility version 1.0.0)\n\t" + own +
                    "libl.dylib (compatibility version 0.0.0, current version 0.0.0)\n"
                    "\t/opt/homebrew/lib/libz.1.dylib (compatibility version 1.0.0)\n",
                c.exitCode);
    codesign.reply("Executable=" + app.string() +
                       "/Contents/MacOS/X\n<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                       "<key>com.apple.security.device.camera</key><true/></dict></plist>\n",
                   c.exitCode);
    const MachOToolFallback fallback = codeInspectionFallback({.otool = otool.path(),
                                                               .codesign = codesign.path(),
                                                               .deadline = std::chrono::seconds(5),
                                                               .run = runProcess});

    const auto commands = scanBundleLoadPaths(app, fallback);
    const auto keys = mainExecutableEntitlementKeys(app, fallback);

    std::vector<BundleLoadCommand> expected;
    if (c.answered) {
      for (const char* binary : {"Contents/MacOS/X", "Contents/Frameworks/K.framework/K"}) {
        expected.push_back({binary, own + "libl.dylib", LoadPathKind::kHardcodedAppPath});
        expected.push_back(
            {binary, "/opt/homebrew/lib/libz.1.dylib", LoadPathKind::kUnsupportedAbsolute});
      }
    }
    EXPECT_EQ(commands, expected);
    EXPECT_EQ(keys, c.answered ? Args{"com.apple.security.device.camera"} : Args{});
    const std::string x = (app / "Contents/MacOS/X").string();
    const std::string k = (app / "Contents/Frameworks/K.framework/K").string();
    // A failed install-name query stops that binary before its load list is asked for.
    EXPECT_EQ(otool.arguments(),
              c.answered ? (Args{"-D", x, "-L", x, "-D", k, "-L", k}) : (Args{"-D", x, "-D", k}));
    EXPECT_EQ(codesign.arguments(), (Args{"-d", "--entitlements", "-", "--xml", app.string()}));
  }
}

}  // namespace
}  // namespace brimvale::apps
