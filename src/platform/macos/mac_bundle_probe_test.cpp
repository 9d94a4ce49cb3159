#include "platform/macos/mac_bundle_probe.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brimvale::platform {
namespace {

TEST(MacBundleProbe, ReadsTheLastUsedDateOfMdls) {
  struct Case {
    const char* output;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {"kMDItemLastUsedDate = 2024-03-01 10:22:33 +0000\n", 1709288553},
      // Both zone spellings, east and west of UTC, name the same instant.
      {"kMDItemLastUsedDate = 2024-03-01 05:22:33 -05:00\n", 1709288553},
      {"kMDItemLastUsedDate = (null)\n", std::nullopt},
      {"kMDItemLastUsedDate = 2024-13-01 10:22:33 +0000\n", std::nullopt},
      {"kMDItemLastUsedDate = 2024-03-01 10:22:33 +00\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parseMdlsLastUsed(c.output), c.expected);
  }
}

// Recorded `codesign -dv --verbose=2` output of a third-party app signed with
// a Developer ID: Apple's own certificates follow further down the chain.
constexpr const char* kDeveloperIdSigned =
    "Executable=/Applications/Tool.app/Contents/MacOS/Tool\n"
    "Identifier=com.example.tool\n"
    "Format=app bundle with Mach-O universal (x86_64 arm64)\n"
    "Authority=Developer ID Application: Example Ltd (AB12CD34EF)\n"
    "Authority=Developer ID Certification Authority\n"
    "Authority=Apple Root CA\n"
    "TeamIdentifier=AB12CD34EF\n";

constexpr const char* kSystemSigned =
    "Executable=/Applications/Notes.app/Contents/MacOS/Notes\n"
    "Identifier=com.example.notes\n"
    "Authority=Software Signing\n"
    "Authority=Apple Code Signing Certification Authority\n"
    "Authority=Apple Root CA\n";

TEST(MacBundleProbe, OnlyTheFirstAuthorityDecidesAppleSigned) {
  struct Case {
    const char* output;
    bool appleSigned;
  };
  const Case cases[] = {
      {kDeveloperIdSigned, false},
      {kSystemSigned, true},
      {"Authority=Software Signing Extra\n", false},
      {"Authority=Apple Development: someone\nAuthority=Software Signing\n", false},
      {"Signature=adhoc\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(isAppleAuthority(firstSigningAuthority(c.output)), c.appleSigned);
  }
}

}  // namespace
}  // namespace brimvale::platform
