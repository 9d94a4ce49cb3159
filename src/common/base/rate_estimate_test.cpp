#include "common/base/rate_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace brimvale {
namespace {

using Clock = RateEstimate::Clock;

Clock::time_point at(double seconds) {
  return Clock::time_point{} +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

TEST(RateEstimate, SaysNothingItCannotKnow) {
  struct Sample {
    double at;
    std::int64_t bytes;
  };
  struct Case {
    const char* name;
    std::vector<Sample> samples;
    std::int64_t total;
    std::optional<std::int64_t> secondsLeft;
  };
  const std::vector<Case> cases{
      {"no samples", {}, 100, std::nullopt},
      {"one sample", {{0, 10}}, 100, std::nullopt},
      {"under a second seen", {{0, 0}, {0.5, 50}}, 100, std::nullopt},
      {"finished", {{0, 0}, {0.5, 100}}, 100, 0},
      {"nothing moved yet", {{0, 0}, {5, 0}}, 100, std::nullopt},
      {"steady 10 per second", {{0, 0}, {1, 10}, {2, 20}}, 100, 8},
      {"a sample back in time is ignored", {{0, 0}, {2, 20}, {1, 99}}, 100, 8},
      // A copy started over counts from its new start, not the old rate.
      {"restarted copy", {{0, 0}, {2, 80}, {3, 0}, {5, 10}}, 100, 18},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RateEstimate estimate;
    for (const auto& s : c.samples) estimate.addSample(at(s.at), s.bytes);
    EXPECT_EQ(estimate.secondsLeft(c.total), c.secondsLeft);
  }
}

}  // namespace
}  // namespace brimvale
