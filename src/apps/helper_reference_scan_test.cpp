#include "apps/helper_reference_scan.h"

#include <gtest/gtest.h>

#include "apps/plist_test_data.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::binaryPlist;
using testing::stringEntry;
using testing::xmlPlist;

std::string job(std::string_view label, std::string_view program,
                std::initializer_list<std::string_view> arguments = {}) {
  std::string entries;
  if (!label.empty()) entries += stringEntry("Label", label);
  if (!program.empty()) entries += stringEntry("Program", program);
  entries += "<key>ProgramArguments</key><array>";
  for (std::string_view a : arguments) entries += "<string>" + std::string(a) + "</string>";
  return xmlPlist(entries + "</array>");
}

// Given launchd folders holding jobs for this app, other apps and damaged files, the scan
// reports each program path inside the bundle with its job's label and folder kind.
TEST(HelperToolScanner, FindsJobsThatStartProgramsInsideTheBundle) {
  TempFolder tmp;
  const std::string app = "/Applications/Tool.app";
  tmp.file("helpers/com.tool.helper.plist",
           job("com.tool.helper", app + "/Contents/Library/LaunchServices/helper"));
  tmp.file("helpers/com.tool.helper", "a helper binary, not a job");
  tmp.file("daemons/b.plist",
           binaryPlist(job("com.tool.daemon", "", {app + "/Contents/MacOS/d", "--flag"})));
  tmp.file("daemons/a.plist", job("com.other", "/Applications/Other.app/Contents/MacOS/o"));
  tmp.file("agents/look-alike.plist", job("com.lookalike", "/Applications/Tool.app Helper/run"));
  tmp.file("agents/broken.plist", "<plist><dict><key>Label</key><string>cut");
  tmp.file("user/nolabel.plist", job("", app, {"/usr/bin/open", app + "/Contents/MacOS/Tool"}));
  HelperToolScanner scanner({{tmp / "helpers", HelperKind::kPrivilegedHelper},
                             {tmp / "daemons", HelperKind::kLaunchDaemon},
                             {tmp / "agents", HelperKind::kLaunchAgentSystem},
                             {tmp / "missing", HelperKind::kLaunchAgentSystem},
                             {tmp / "user", HelperKind::kLaunchAgentUser}});

  auto found = scanner.scan(app + "/");
  std::vector<HelperToolReference> expected = {
      {tmp / "helpers/com.tool.helper.plist", "com.tool.helper",
       app + "/Contents/Library/LaunchServices/helper", HelperKind::kPrivilegedHelper},
      {tmp / "daemons/b.plist", "com.tool.daemon", app + "/Contents/MacOS/d",
       HelperKind::kLaunchDaemon},
      {tmp / "user/nolabel.plist", "(no label)", app, HelperKind::kLaunchAgentUser},
      {tmp / "user/nolabel.plist", "(no label)", app + "/Contents/MacOS/Tool",
       HelperKind::kLaunchAgentUser},
  };
  EXPECT_EQ(found, expected);
  EXPECT_TRUE(hasPrivilegedHelper(found));
  EXPECT_FALSE(hasPrivilegedHelper({expected[1], expected[2]}));
  EXPECT_TRUE(scanner.scan("/Applications/Absent.app").empty());
}

}  // namespace
}  // namespace brimvale::apps
