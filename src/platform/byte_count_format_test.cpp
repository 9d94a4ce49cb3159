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
      {1500, "2 KB"},
      {999'500, "1 MB"},  // rounds into the next unit
      {12'345'678'901, "12.35 GB"},
      {-2'000'000, "-2 MB"},
      {649'000'000, "649 MB"},  // never "0 GB" or "0.65 GB"
      {INT64_MAX, "9.22 EB"},   // the largest count must not overflow the rounding
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(formatFileByteCount(c.bytes), c.shown);
  }
}

}  // namespace
}  // namespace brimvale::platform
