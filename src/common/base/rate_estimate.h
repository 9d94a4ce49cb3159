// A copy's rate and time to finish, judged from how many bytes were done when,
// so an estimate follows what the copy does now rather than its whole history.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace brimvale {

// Exponentially weighted bytes-per-second over roughly the last 30 seconds of
// samples. The caller supplies each sample's time, so a test can feed a whole
// copy's worth of samples without waiting.
class RateEstimate {
 public:
  using Clock = std::chrono::steady_clock;

  // Adds how many bytes were done at `at`. A sample no later than the previous
  // one is ignored; a count below the previous one (a restarted copy) starts
  // the estimate again from that sample.
  void addSample(Clock::time_point at, std::int64_t bytesDone);

  // Nothing until two samples at least a second apart have been seen.
  [[nodiscard]] std::optional<double> bytesPerSecond() const;

  // Seconds to finish `totalBytes` at the current rate; zero once the count
  // reaches the total; nothing while the rate is unknown or has fallen to
  // (almost) zero, as in a stall, where any figure would be made up.
  [[nodiscard]] std::optional<std::int64_t> secondsLeft(std::int64_t totalBytes) const;

 private:
  std::optional<Clock::time_point> lastAt_;
  std::int64_t lastBytes_ = 0;
  std::optional<double> rate_;
  // Time covered by the estimate so far, so the first samples are taken at
  // their own worth instead of being pulled towards an unknown starting rate.
  double seenSeconds_ = 0;
};

}  // namespace brimvale
