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
      {"kMDItemLastUsedDate = 2024-03-01 12:22:33 +0200\n", 1709288553},
      {"kMDItemLastUsedDate = 2024-03-01 05:22:33 -05:00\n", 1709288553},
      {"kMDItemLastUsedDate = (null)\n", std::nullopt},
      {"", std::nullopt},
      {"kMDItemLastUsedDate = 2024-13-01 10:22:33 +0000\n", std::nullopt},
      {"kMDItemLastUsedDate = 2024-03-01 10:22:33\n", std::nullopt},
      {"kMDItemLastUsedDate = 2024-03-01 10:22:33 +00\n", std::nullopt},
      {"kMDItemLastUsedDate = yesterday\n", std::nullopt},
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
      {"Authority=Apple Mac OS Application Signing\nAuthority=Apple Root CA\n", true},
      {"Authority=Apple Software Update Certification Authority\n", true},
      {"Authority=Apple iPhone OS Application Signing\n", true},
      {"Authority=Software Signing Extra\n", false},
      {"Authority=Apple Development: someone\nAuthority=Software Signing\n", false},
      {"Signature=adhoc\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(isAppleAuthority(firstSigningAuthority(c.output)), c.appleSigned);
  }
}

TEST(MacBundleProbe, RunsEachToolWithItsArgumentsAndTreatsFailuresAsNoFact) {
  struct Case {
    const char* name;
    ProcessResult answer;
    std::optional<std::int64_t> lastUsed;
    bool appleSigned;
  };
  auto exited = [](int code, std::string out, std::string err) {
    ProcessResult r;
    r.outcome = ProcessOutcome::kExited;
    r.exitCode = code;
    r.out = std::move(out);
    r.err = std::move(err);
    return r;
  };
  ProcessResult timedOut;
  timedOut.outcome = ProcessOutcome::kTimedOut;
  timedOut.out = "kMDItemLastUsedDate = 2024-03-01 10:22:33 +0000\n";
  timedOut.err = kSystemSigned;
  const Case cases[] = {
      {"answers", exited(0, "kMDItemLastUsedDate = 2024-03-01 10:22:33 +0000\n", kSystemSigned),
       1709288553, true},
      {"fails", exited(1, "kMDItemLastUsedDate = 2024-03-01 10:22:33 +0000\n", kSystemSigned),
       std::nullopt, false},
      {"overruns its deadline", timedOut, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<std::string>> runs;
    auto probe = makeMacBundleProbe(
        MacBundleToolPaths{.mdls = "/t/mdls", .codesign = "/t/codesign"},
        [&](const std::string& path, std::vector<std::string> args, std::chrono::milliseconds d) {
          EXPECT_GT(d.count(), 0);
          args.insert(args.begin(), path);
          runs.push_back(args);
          return c.answer;
        });
    EXPECT_EQ(probe->lastUsed("/A/My App.app", "ignored"), c.lastUsed);
    EXPECT_EQ(probe->appleSigned("/A/My App.app"), c.appleSigned);
    const std::vector<std::vector<std::string>> expected{
        {"/t/mdls", "-name", "kMDItemLastUsedDate", "/A/My App.app"},
        {"/t/codesign", "-dv", "--verbose=2", "/A/My App.app"}};
    EXPECT_EQ(runs, expected);
  }
}

}  // namespace
}  // namespace brimvale::platform
