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
      {"/mnt/short\\04", "/mnt/short\\04"},  // incomplete escape stays as written
      {"/mnt/not\\999octal", "/mnt/not\\999octal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    EXPECT_EQ(decodeMountEscapes(c.field), c.decoded);
  }
}

TEST(MachineInfo, RemovesShellQuotingFromPrettyHostname) {
  struct Case {
    const char* name;
    const char* text;
    const char* pretty;
  } cases[] = {
      {"double quotes", "PRETTY_HOSTNAME=\"Ann's Laptop\"\nCHASSIS=laptop\n", "Ann's Laptop"},
      {"escapes in double quotes", "PRETTY_HOSTNAME=\"A \\\"quoted\\\" \\\\ name\"\n",
       "A \"quoted\" \\ name"},
      {"bare value with escaped blank", "PRETTY_HOSTNAME=Studio\\ One\n", "Studio One"},
      {"commented out", "#PRETTY_HOSTNAME=\"Old\"\nICON_NAME=computer\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parsePrettyHostname(c.text), c.pretty);
  }
}

}  // namespace
}  // namespace brimvale::platform
