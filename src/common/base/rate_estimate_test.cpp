#include "common/base/rate_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace brimvale {
namespace {

using Clock = RateEstimate::Clock;
constexpr double kMB = 1'000'000;

Clock::time_point at(double seconds) {
  return Clock::time_point{} +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

struct Stretch {
  double seconds;
  double bytesPerSecond;
};

// A copy described as stretches of constant speed.
struct Copy {
  std::vector<Stretch> stretches;

  double bytesAt(double t) const {
    double bytes = 0;
    for (const auto& s : stretches) {
      const double part = std::min(t, s.seconds);
      bytes += part * s.bytesPerSecond;
      t -= part;
      if (t <= 0) break;
    }
    return bytes;
  }
  double duration() const {
    double d = 0;
    for (const auto& s : stretches) d += s.seconds;
    return d;
  }
  double total() const { return bytesAt(duration()); }
};

TEST(RateEstimate, TimeLeftFollowsTheCopyOnceAFifthIsDone) {
  struct Case {
    const char* name;
    Copy copy;
    double tickSeconds;    // how often the caller samples
    double reportSeconds;  // how often the copy tool's count moves
  };
  // Each disturbance comes early, so an average over the whole elapsed time
  // is still far off at the fifth; the rolling rate has forgotten it.
  const std::vector<Case> cases{
      {"steady", {{{300, 10 * kMB}}}, 1, 1},
      {"slows down", {{{25, 40 * kMB}, {900, 10 * kMB}}}, 1, 1},
      {"speeds up", {{{100, 5 * kMB}, {500, 20 * kMB}}}, 1, 1},
      {"stalls for a minute", {{{20, 10 * kMB}, {60, 0}, {280, 10 * kMB}}}, 1, 1},
      {"burst into a cache", {{{10, 100 * kMB}, {900, 10 * kMB}}}, 1, 1},
      // Sampled four times between the tool's updates: most samples see no
      // change at all, so the last step alone would swing from zero to 4x.
      {"sampled faster than reported", {{{400, 10 * kMB}}}, 0.25, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RateEstimate estimate;
    const auto total = static_cast<std::int64_t>(c.copy.total());
    int checked = 0;
    for (double t = 0; t < c.copy.duration(); t += c.tickSeconds) {
      const double reportedAt = std::floor(t / c.reportSeconds) * c.reportSeconds;
      const auto done = static_cast<std::int64_t>(c.copy.bytesAt(reportedAt));
      estimate.addSample(at(t), done);
      if (done < total / 5 || done >= total) continue;
      const double trueLeft = c.copy.duration() - t;
      const auto left = estimate.secondsLeft(total);
      ASSERT_TRUE(left.has_value()) << "at " << t << " s";
      // Whole seconds, from a count up to one report old: near the end the
      // quarter is smaller than that rounding.
      const double slack = std::max(trueLeft * 0.25, c.reportSeconds + 1);
      EXPECT_NEAR(static_cast<double>(*left), trueLeft, slack) << "at " << t << " s";
      ++checked;
    }
    EXPECT_GT(checked, 10);
  }
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
