#include "common/base/rate_estimate.h"

#include <cmath>

namespace brimvale {
namespace {

// A sample this old weighs e^-3 (5 %) of a new one: about 30 s of memory.
constexpr double kTimeConstantSeconds = 10.0;
// Below this the copy counts as stalled: an estimate would run to days.
constexpr double kStalledBytesPerSecond = 1.0;

}  // namespace

void RateEstimate::addSample(Clock::time_point at, std::int64_t bytesDone) {
  if (!lastAt_ || bytesDone < lastBytes_) {
    lastAt_ = at;
    lastBytes_ = bytesDone;
    rate_.reset();
    seenSeconds_ = 0;
    return;
  }
  const double dt = std::chrono::duration<double>(at - *lastAt_).count();
  if (dt <= 0) return;
  const double instant = static_cast<double>(bytesDone - lastBytes_) / dt;
  seenSeconds_ += dt;
  // While less than one time constant has been seen, the weight of the old
  // estimate shrinks with what it was built from.
  const double memory = std::min(kTimeConstantSeconds, seenSeconds_);
  const double weight = 1.0 - std::exp(-dt / memory);
  rate_ = rate_ ? *rate_ + weight * (instant - *rate_) : instant;
  lastAt_ = at;
  lastBytes_ = bytesDone;
}

std::optional<double> RateEstimate::bytesPerSecond() const {
  if (!rate_ || seenSeconds_ < 1.0) return std::nullopt;
  return rate_;
}

std::optional<std::int64_t> RateEstimate::secondsLeft(std::int64_t totalBytes) const {
  if (lastAt_ && lastBytes_ >= totalBytes) return 0;
  const auto rate = bytesPerSecond();
  if (!rate || *rate < kStalledBytesPerSecond) return std::nullopt;
  return std::llround(static_cast<double>(totalBytes - lastBytes_) / *rate);
}

}  // namespace brimvale
