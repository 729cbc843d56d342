#include "link/EventListener.h"

#include <chrono>

#include "link/Communication.h"

namespace lc {

EventListener::EventListener() : ring_(kInitialCapacity) {}

EventListener::EventListener(Communication& communication) : EventListener() {
  setCommunication(communication);
}

EventListener::~EventListener() {
  // After removal the receive thread no longer calls this listener: it
  // delivers under the same lock.
  if (communication_ != nullptr) communication_->removeEventListener(*this);
}

void EventListener::setCommunication(Communication& communication) {
  if (communication_ == &communication) {
    communication.addEventListener(*this);  // no duplicate: the list is unique
    return;
  }
  if (communication_ != nullptr) communication_->removeEventListener(*this);
  communication_ = &communication;
  communication.addEventListener(*this);
}

void EventListener::pushLocked(const Event& event) {
  if (size_ == ring_.size()) {
    // Full: unroll into a ring twice as large, oldest first.
    std::vector<Event> larger(ring_.size() * 2);
    for (size_t i = 0; i < size_; ++i) larger[i] = ring_[(head_ + i) % ring_.size()];
    ring_.swap(larger);
    head_ = 0;
  }
  ring_[(head_ + size_) % ring_.size()] = event;
  ++size_;
}

void EventListener::popLocked(Event& event) {
  event = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --size_;
}

void EventListener::addEvent(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  pushLocked(event);
  if (waiting_) cv_.notify_one();
}

void EventListener::closeEvent() {
  Event closed;
  closed.setClosed();
  addEvent(closed);
}

void EventListener::clearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  head_ = 0;
  size_ = 0;
  if (waiting_) {
    ++wakeups_;
    cv_.notify_all();
  }
}

size_t EventListener::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

EventListener::WaitResult EventListener::waitEvent(Event& event, unsigned int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (size_ > 0) {
    waiting_ = false;
    popLocked(event);
    return Taken;
  }
  waiting_ = true;
  const uint64_t wakeupsBefore = wakeups_;
  auto woken = [&] { return size_ > 0 || wakeups_ != wakeupsBefore; };
  if (timeoutMs == 0) {
    cv_.wait(lock, woken);
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!cv_.wait_until(lock, deadline, woken)) {
      waiting_ = false;
      return TimedOut;
    }
  }
  waiting_ = false;
  if (size_ == 0) return Woken;
  popLocked(event);
  return Taken;
}

}  // namespace lc
