#include "platform/linux/linux_sources.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

TEST(MountEscapes, DecodesKernelOctalEscapes) {
  struct Case {
    const char* field;
    std::string decoded;
  } cases[] = {
      {"/Volumes/NVMe\\040Drive", "/Volumes/NVMe Drive"},
      {"/mnt/a\\011b\\012c", "/mnt/a\tb\nc"},
      {"/mnt/back\\134slash", "/mnt/back\\slash"},
      {"/mnt/caf\\303\\251", "/mnt/caf\xC3\xA9"},
      {"/mnt/short\\04", "/mnt/short\\04"},  // incomplete escape stays as written
      {"/mnt/not\\999octal", "/mnt/not\\999octal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(decodeMountEscapes(c.field), c.decoded);
  }
}

TEST(MountInfo, ListsDecodedMountPoints) {
  const char* mountinfo =
      "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro\n"
      "23 22 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
      "98 22 259:5 / /Volumes/NVMe\\040Drive rw,relatime shared:40 - ext4 /dev/nvme1n1p1 rw\n"
      "99 22 0:50 /sub /media/it\\134s\\012here rw - tmpfs tmpfs rw\n"
      "truncated line\n";
  EXPECT_EQ(parseMountPoints(mountinfo),
            (std::vector<std::string>{"/", "/proc", "/Volumes/NVMe Drive", "/media/it\\s\nhere"}));
}

TEST(IdleSources, ParsesEachToolsOutput) {
  EXPECT_EQ(parseXprintidleSeconds("125999\n"), 125u);
  EXPECT_EQ(parseXprintidleSeconds("couldn't open display\n"), std::nullopt);
  EXPECT_EQ(parseXprintidleSeconds(""), std::nullopt);

  EXPECT_EQ(parseUptimeSeconds("350735.47 234388.90\n"), 350735u);
  EXPECT_EQ(parseUptimeSeconds("garbage"), std::nullopt);

  constexpr std::uint64_t kNow = 1'733'480'000'000'000;
  struct Case {
    const char* name;
    std::string output;
    std::optional<std::uint64_t> seconds;
  } cases[] = {
      {"idle for five minutes", "IdleHint=yes\nIdleSinceHint=" + std::to_string(kNow - 300'500'000),
       300},
      {"active session", "IdleHint=no\nIdleSinceHint=" + std::to_string(kNow - 300'000'000),
       std::nullopt},
      {"hint in the future", "IdleHint=yes\nIdleSinceHint=" + std::to_string(kNow + 1),
       std::nullopt},
      {"no hint recorded", "IdleHint=yes\nIdleSinceHint=0\n", std::nullopt},
      {"properties missing", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parseLogindIdleSeconds(c.output, kNow), c.seconds);
  }
}

TEST(MachineInfo, RemovesShellQuotingFromPrettyHostname) {
  struct Case {
    const char* name;
    const char* text;
    const char* pretty;
  } cases[] = {
      {"double quotes", "PRETTY_HOSTNAME=\"Ann's Laptop\"\nCHASSIS=laptop\n", "Ann's Laptop"},
      {"single quotes", "PRETTY_HOSTNAME='Say \"hi\"'\n", "Say \"hi\""},
      {"escapes in double quotes", "PRETTY_HOSTNAME=\"A \\\"quoted\\\" \\\\ name\"\n",
       "A \"quoted\" \\ name"},
      {"bare value with escaped blank", "PRETTY_HOSTNAME=Studio\\ One\n", "Studio One"},
      {"mixed segments", "PRETTY_HOSTNAME=Ann\"'s \"'Mac'\n", "Ann's Mac"},
      {"non-ASCII kept", "PRETTY_HOSTNAME=\"Zo\xC3\xAB's Mac\"\n", "Zo\xC3\xAB's Mac"},
      {"commented out", "#PRETTY_HOSTNAME=\"Old\"\nICON_NAME=computer\n", ""},
      {"empty value", "PRETTY_HOSTNAME=\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parsePrettyHostname(c.text), c.pretty);
  }
}

}  // namespace
}  // namespace brimvale::platform
