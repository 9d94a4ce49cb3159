#include "cloud/machine_fingerprint.h"

#include <gtest/gtest.h>
#include <utime.h>

#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

// Recorded from `ioreg -rd1 -c IOPlatformExpertDevice`, trimmed.
constexpr const char* kIoreg =
    R"(+-o J314sAP  <class IOPlatformExpertDevice, id 0x100000221, registered>
    {
      "IOPolledInterface" = "AppleARMWatchdogTimerHibernateHandler is not serializable"
      "IOPlatformSerialNumber" = "C02ZX0AAMD6T"
      "IOPlatformUUID" = "6D3F1B52-88E2-5C44-9A0B-2F3E4D5C6B7A"
      "model" = <"MacBookPro18,3">
    }
)";

TEST(MachineFingerprint, LinuxUsesTheMachineIdAndWhenItWasWritten) {
  brimvale::testing::TempFolder tmp;
  auto id = tmp.file("machine-id", "0123456789abcdef0123456789abcdef\n");
  struct utimbuf times {
    1'600'000'000, 1'600'000'000
  };
  ASSERT_EQ(utime(id.c_str(), &times), 0);

  auto fp = linuxFingerprint(id);
  EXPECT_TRUE(fp.identityKnown);
  EXPECT_EQ(fp.text, "machine:0123456789abcdef0123456789abcdef|setup:1600000000");

  auto missing = linuxFingerprint(tmp / "absent");
  EXPECT_FALSE(missing.identityKnown);
  EXPECT_EQ(missing.text, "machine:unknown-machine|setup:unknown-setup");
  tmp.file("empty-id", "\n");
  EXPECT_FALSE(linuxFingerprint(tmp / "empty-id").identityKnown);
}

TEST(MachineFingerprint, MacReadsTheHardwareUuidFromIoreg) {
  EXPECT_EQ(parseIoregPlatformUuid(kIoreg), "6D3F1B52-88E2-5C44-9A0B-2F3E4D5C6B7A");
  EXPECT_EQ(parseIoregPlatformUuid("\"IOPlatformSerialNumber\" = \"C02\""), std::nullopt);

  brimvale::testing::TempFolder tmp;
  auto setupDone = tmp.file(".AppleSetupDone", "");
  struct utimbuf times {
    1'500'000'000, 1'500'000'000
  };
  ASSERT_EQ(utime(setupDone.c_str(), &times), 0);
  std::vector<std::string> argsSeen;
  auto answer = [&](int code) {
    return [&argsSeen, code](const ProcessInvocation& run) {
      argsSeen = run.args;
      ProcessResult r;
      r.outcome = ProcessOutcome::kExited;
      r.exitCode = code;
      r.out = kIoreg;
      return r;
    };
  };
  auto fp = macFingerprint(answer(0), "/usr/sbin/ioreg", setupDone);
  EXPECT_EQ(argsSeen, (std::vector<std::string>{"-rd1", "-c", "IOPlatformExpertDevice"}));
  EXPECT_EQ(fp.text, "machine:6D3F1B52-88E2-5C44-9A0B-2F3E4D5C6B7A|setup:1500000000");
  EXPECT_FALSE(macFingerprint(answer(1), "/usr/sbin/ioreg", tmp / "gone").identityKnown);
}

}  // namespace
}  // namespace brimvale::cloud
