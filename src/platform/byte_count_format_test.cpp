#include "platform/byte_count_format.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

TEST(ByteCountFormat, FileStyleDecimalUnits) {
  struct Case {
    std::int64_t bytes;
    const char* shown;
  } cases[] = {
      {0, "Zero KB"},
      {1, "1 byte"},
      {1000, "1 KB"},
      {1500, "2 KB"},
      {999'500, "1 MB"},  // rounds into the next unit
      {1'500'000, "1.5 MB"},
      {12'345'678'901, "12.35 GB"},
      {1'000'000'000'000, "1 TB"},
      {-2'000'000, "-2 MB"},
      {649'000'000, "649 MB"},  // never "0 GB" or "0.65 GB"
      {999'950'000, "1 GB"},
      {INT64_MAX, "9.22 EB"},  // the largest count must not overflow the rounding
      {INT64_MIN, "-9.22 EB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(formatFileByteCount(c.bytes), c.shown);
  }
}

// Given the same size, then sentences that count whole gigabytes keep that
// figure, and the others show the size in the unit that suits it, signed
// where it is a change.
TEST(ByteCountFormat, GigabyteSentencesFollowThePlatformsWords) {
  struct Case {
    const char* name;
    const PlatformWords* words;
    std::int64_t bytes;
    std::int64_t wholeGb;
    const char* size;
    const char* change;
  } cases[] = {
      {"whole GB", &kMacWords, 60'400'000'000, 60, "60 GB", "+60 GB"},
      {"whole GB, below one", &kMacWords, 400'000'000, 0, "0 GB", "±0 GB"},
      {"human units", &kLinuxWords, 60'400'000'000, 60, "60.4 GB", "+60.4 GB"},
      {"human units, below one GB", &kLinuxWords, 400'000'000, 0, "400 MB", "+400 MB"},
      {"human units, a loss", &kLinuxWords, -2'300'000'000, -2, "-2.3 GB", "-2.3 GB"},
      {"human units, no change", &kLinuxWords, 0, 0, "Zero KB", "±0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(gigabytesText(c.bytes, c.wholeGb, *c.words), c.size);
    EXPECT_EQ(gigabytesChangeText(c.bytes, c.wholeGb, *c.words), c.change);
  }
}

}  // namespace
}  // namespace brimvale::platform
