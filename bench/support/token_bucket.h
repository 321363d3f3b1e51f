// Rate caps for the links that benchmarks throttle (the wan_link relay, the fake S3 server's
// options): token buckets whose tokens are bytes.
#ifndef VORLAN_BENCH_TOKEN_BUCKET_H
#define VORLAN_BENCH_TOKEN_BUCKET_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>

namespace vorlan::bench {

using Clock = std::chrono::steady_clock;

// A sender waits for at least this many tokens, so a throttled link does not send tiny segments.
constexpr double kMinGrant = 16 * 1024;

// The burst is 10 ms of the rate (at least kMinGrant) so that a link that was idle does not send
// a large burst above its rate. A rate of 0 means no cap.
class TokenBucket {
 public:
  explicit TokenBucket(double bytes_per_s)
      : rate_(bytes_per_s),
        burst_(std::max(kMinGrant, bytes_per_s / 100)),
        tokens_(burst_),
        last_(Clock::now()) {}

  bool unlimited() const { return rate_ <= 0; }

  // The bytes that may go now, at most `want`.
  size_t available(Clock::time_point now, size_t want) {
    if (unlimited()) return want;
    refill(now);
    return std::min(want, static_cast<size_t>(std::max(0.0, tokens_)));
  }

  void take(size_t bytes) {
    if (!unlimited()) tokens_ -= static_cast<double>(bytes);
  }

  // How long until `want` bytes (capped at kMinGrant) are available.
  Clock::duration wait_for(Clock::time_point now, size_t want) {
    if (unlimited()) return Clock::duration::zero();
    refill(now);
    return until(std::min(static_cast<double>(want), kMinGrant) - tokens_);
  }

  // Takes `bytes` at once, in debt if need be, for a sender that blocks: it waits the time
  // returned, which repays the debt.
  Clock::duration debit(Clock::time_point now, size_t bytes) {
    if (unlimited()) return Clock::duration::zero();
    refill(now);
    take(bytes);
    return until(-tokens_);
  }

 private:
  void refill(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    tokens_ = std::min(burst_, tokens_ + elapsed * rate_);
  }
  Clock::duration until(double missing) const {
    if (missing <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(missing / rate_));
  }

  double rate_;
  double burst_;
  double tokens_;
  Clock::time_point last_;
};

// A bucket shared by every connection of a link.
class SharedBucket {
 public:
  explicit SharedBucket(double bytes_per_s) : bucket_(bytes_per_s) {}

  size_t available(Clock::time_point now, size_t want) {
    const std::lock_guard lock(mutex_);
    return bucket_.available(now, want);
  }
  void take(size_t bytes) {
    const std::lock_guard lock(mutex_);
    bucket_.take(bytes);
  }
  Clock::duration wait_for(Clock::time_point now, size_t want) {
    const std::lock_guard lock(mutex_);
    return bucket_.wait_for(now, want);
  }
  Clock::duration debit(Clock::time_point now, size_t bytes) {
    const std::lock_guard lock(mutex_);
    return bucket_.debit(now, bytes);
  }

 private:
  std::mutex mutex_;
  TokenBucket bucket_;
};

}  // namespace vorlan::bench

#endif  // VORLAN_BENCH_TOKEN_BUCKET_H
