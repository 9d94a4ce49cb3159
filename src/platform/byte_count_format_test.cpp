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
      {999, "999 bytes"},
      {1000, "1 KB"},
      {1499, "1 KB"},
      {1500, "2 KB"},
      {999'500, "1 MB"},  // rounds into the next unit
      {1'500'000, "1.5 MB"},
      {60'000'000'000, "60 GB"},
      {12'345'678'901, "12.35 GB"},
      {5'050'000'000, "5.05 GB"},
      {1'000'000'000'000, "1 TB"},
      {-2'000'000, "-2 MB"},
      {649'000'000, "649 MB"},  // never "0 GB" or "0.65 GB"
      {999'949'999, "999.9 MB"},
      {999'950'000, "1 GB"},
      {1'234'567'890'123'456, "1.23 PB"},
      {999'999'999'999'999'999, "1 EB"},
      {INT64_MAX, "9.22 EB"},  // the largest count must not overflow the rounding
      {INT64_MIN, "-9.22 EB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(formatFileByteCount(c.bytes), c.shown);
  }
}

}  // namespace
}  // namespace brimvale::platform
