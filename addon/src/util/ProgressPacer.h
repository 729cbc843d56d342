#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace lc {

// Thins out the progress of a long transfer, so that a caller drawing a bar
// is told at most once per interval however fast the units go. The count
// that was held back is given once more by finish(), so the last report a
// caller sees is where the transfer stopped.
class ProgressPacer {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  using Report = std::function<void(uint32_t sent, uint32_t total)>;

  explicit ProgressPacer(Report report, std::chrono::milliseconds interval = kInterval)
      : report_(std::move(report)), interval_(interval) {}

  // The units sent so far; reports at once when the interval has passed
  // since the previous report (the first report goes at once).
  void update(uint32_t sent, uint32_t total);
  // Reports the latest count if it was held back, no sooner than one
  // interval after the previous report.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;

  void emit(Clock::time_point now);

  Report report_;
  std::chrono::milliseconds interval_;
  Clock::time_point last_{};
  bool reported_ = false;
  bool pending_ = false;
  uint32_t sent_ = 0;
  uint32_t total_ = 0;
};

}  // namespace lc
