#include "util/ProgressPacer.h"

#include <thread>

namespace lc {

void ProgressPacer::update(uint32_t sent, uint32_t total) {
  sent_ = sent;
  total_ = total;
  pending_ = true;
  Clock::time_point now = Clock::now();
  if (!reported_ || now - last_ >= interval_) emit(now);
}

void ProgressPacer::finish() {
  if (!pending_) return;
  // At most one interval, and only at the end of a transfer.
  if (reported_) std::this_thread::sleep_until(last_ + interval_);
  emit(Clock::now());
}

void ProgressPacer::emit(Clock::time_point now) {
  last_ = now;
  reported_ = true;
  pending_ = false;
  if (report_) report_(sent_, total_);
}

}  // namespace lc
