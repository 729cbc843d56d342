#include "commands/ConcastQueue.h"

#include <algorithm>

namespace lc {

namespace {

using Clock = std::chrono::steady_clock;

// The queue's storage at its fullest: the bound, its slack, and one read
// appended before the oldest go.
constexpr size_t kQueueLimit =
    ConcastQueue::kMaxQueuedBytes + ConcastQueue::kSlackBytes + ConcastQueue::kMaxStagedBytes;

// Room for `more` bytes, doubling as a vector would, but never reserving past
// `limit` unless the bytes themselves need it.
void reserveFor(std::vector<unsigned char>& v, size_t more, size_t limit) {
  const size_t needed = v.size() + more;
  if (needed <= v.capacity()) return;
  v.reserve(std::max(needed, std::min(limit, std::max<size_t>(2 * v.capacity(), 4096))));
}

}  // namespace

void ConcastQueue::Batch::reset() {
  stored_.clear();
  first_ = count_ = payload_ = 0;
}

void ConcastQueue::Batch::append(const unsigned char* bytes, uint32_t length, size_t limit) {
  reserveFor(stored_, sizeof length + length, limit);
  const size_t at = stored_.size();
  stored_.resize(at + sizeof length + length);
  std::memcpy(stored_.data() + at, &length, sizeof length);
  if (length > 0) std::memcpy(stored_.data() + at + sizeof length, bytes, length);
  ++count_;
  payload_ += length;
}

void ConcastQueue::Batch::appendAll(const Batch& other, size_t limit) {
  const size_t size = other.held();
  reserveFor(stored_, size, limit);
  stored_.insert(stored_.end(), other.stored_.begin() + std::ptrdiff_t(other.first_),
                 other.stored_.end());
  count_ += other.count_;
  payload_ += other.payload_;
}

void ConcastQueue::Batch::dropOldest() {
  uint32_t length;
  std::memcpy(&length, stored_.data() + first_, sizeof length);
  first_ += sizeof length + length;
  --count_;
  payload_ -= length;
  if (count_ == 0) {
    reset();
  } else if (first_ >= kSlackBytes) {
    stored_.erase(stored_.begin(), stored_.begin() + std::ptrdiff_t(first_));
    first_ = 0;
  }
}

void ConcastQueue::Batch::moveOldest(size_t count, Batch& to) {
  size_t end = first_;
  size_t payload = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t length;
    std::memcpy(&length, stored_.data() + end, sizeof length);
    end += sizeof length + length;
    payload += length;
  }
  to.stored_.assign(stored_.begin() + std::ptrdiff_t(first_), stored_.begin() + std::ptrdiff_t(end));
  to.first_ = 0;
  to.count_ = count;
  to.payload_ = payload;
  first_ = end;
  count_ -= count;
  payload_ -= payload;
  if (first_ >= kSlackBytes) {
    stored_.erase(stored_.begin(), stored_.begin() + std::ptrdiff_t(first_));
    first_ = 0;
  }
}

void ConcastQueue::add(const unsigned char* bytes, uint32_t length) {
  staged_.append(bytes, std::min(length, kMaxRecord), kMaxStagedBytes);
}

void ConcastQueue::flush() {
  if (staged_.count() == 0) return;
  lastArrival_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.appendAll(staged_, kQueueLimit);
    while (queued_.held() > kMaxQueuedBytes) {
      queued_.dropOldest();
      ++dropped_;
    }
    askLocked();
  }
  staged_.reset();
}

void ConcastQueue::askLocked() {
  if (sink_ == nullptr || drainAsked_ || queued_.count() == 0) return;
  drainAsked_ = true;
  sink_->drainWanted();
}

bool ConcastQueue::take(Batch& batch, size_t limit) {
  batch.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (queued_.count() > limit) {
    // A backlog goes in pieces, so that no one call holds the script
    // thread for all of it.
    queued_.moveOldest(limit, batch);
    return true;
  }
  std::swap(batch, queued_);
  drainAsked_ = false;
  return false;
}

void ConcastQueue::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.reset();
  drainAsked_ = false;
  dropped_ = 0;
  lastArrival_.store(0, std::memory_order_relaxed);
}

void ConcastQueue::setSink(Sink* sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = sink;
  askLocked();
}

uint64_t ConcastQueue::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

Clock::time_point ConcastQueue::lastArrival() const {
  return Clock::time_point(Clock::duration(lastArrival_.load(std::memory_order_relaxed)));
}

}  // namespace lc
