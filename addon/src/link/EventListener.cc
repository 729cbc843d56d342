#include "link/EventListener.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "link/Communication.h"

namespace lc {

EventListener::EventListener() : ring_(kInitialCapacity * storedSize(Event::kMaxData)) {}

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
  if (communication_ != nullptr) {
    communication_->removeEventListener(*this);
    // The old link will not end its chunk here: announce what it queued.
    flushEvents();
  }
  communication_ = &communication;
  communication.addEventListener(*this);
}

size_t EventListener::storedSize(uint32_t payload) {
  return kHeaderSize + (size_t(payload) + kAlign - 1) / kAlign * kAlign;
}

uint32_t EventListener::payloadOf(const Header& h) {
  return h.kind == Event::Data ? std::min(h.length, Event::kMaxData) : 0;
}

void EventListener::growLocked(size_t capacity) {
  // Unroll into the larger ring, oldest first.
  std::vector<unsigned char> larger(capacity);
  size_t at = 0;
  const auto copy = [&](size_t from, size_t to) {
    std::memcpy(larger.data() + at, ring_.data() + from, to - from);
    at += to - from;
  };
  if (wrapped_) {
    copy(head_, end_);
    copy(0, tail_);
  } else {
    copy(head_, tail_);
  }
  ring_.swap(larger);
  head_ = 0;
  tail_ = at;
  end_ = 0;
  wrapped_ = false;
}

bool EventListener::makeRoomLocked(size_t bytes) {
  for (;;) {
    if (wrapped_) {
      if (head_ - tail_ >= bytes) return true;
    } else {
      if (ring_.size() - tail_ >= bytes) return true;
      if (head_ >= bytes) {
        // Start again at the front; the rest of the back stays unused.
        end_ = tail_;
        tail_ = 0;
        wrapped_ = true;
        return true;
      }
    }
    if (bytes_ + bytes <= kMaxQueuedBytes || count_ == 0) {
      size_t capacity = ring_.size() * 2;
      while (capacity < bytes_ + bytes) capacity *= 2;
      growLocked(capacity);
      continue;
    }
    dropOldestLocked();
  }
}

bool EventListener::pushLocked(const Event& event) {
  Header h{};
  h.length = event.length;
  h.version = event.version;
  h.aux2 = event.aux2;
  h.state = event.state;
  h.pace = event.pace;
  h.packetSize = event.packetSize;
  h.aux1 = event.aux1;
  h.flags = event.flags;
  h.kind = uint8_t(event.kind);
  h.typeOne = event.typeOne ? 1 : 0;
  const uint32_t payload = payloadOf(h);
  const size_t size = storedSize(payload);
  makeRoomLocked(size);
  unsigned char* at = ring_.data() + tail_;
  std::memcpy(at, &h, sizeof h);
  if (payload > 0) std::memcpy(at + kHeaderSize, event.data, payload);
  tail_ += size;
  bytes_ += size;
  ++count_;
  return waiting_ && !notified_;
}

void EventListener::dropOldestLocked() {
  Header h;
  std::memcpy(&h, ring_.data() + head_, sizeof h);
  if (h.kind == Event::Closed) {
    ++closedAhead_;
  } else {
    ++dropped_;
    if (!dropping_) {
      dropping_ = true;
      log_.error("A reader fell ", kMaxQueuedBytes, " bytes behind its link: dropping the ",
                 "oldest events.");
    }
  }
  releaseOldestLocked(storedSize(payloadOf(h)));
}

void EventListener::popLocked(Event& event) {
  if (closedAhead_ > 0) {
    --closedAhead_;
    event.setClosed();
    return;
  }
  Header h;
  const unsigned char* at = ring_.data() + head_;
  std::memcpy(&h, at, sizeof h);
  event.kind = Event::Kind(h.kind);
  event.typeOne = h.typeOne != 0;
  event.length = h.length;
  event.state = h.state;
  event.pace = h.pace;
  event.version = h.version;
  event.packetSize = h.packetSize;
  event.aux1 = h.aux1;
  event.aux2 = h.aux2;
  event.flags = h.flags;
  const uint32_t payload = payloadOf(h);
  if (payload > 0) std::memcpy(event.data, at + kHeaderSize, payload);
  releaseOldestLocked(storedSize(payload));
  if (count_ == 0) dropping_ = false;
}

void EventListener::releaseOldestLocked(size_t size) {
  head_ += size;
  bytes_ -= size;
  --count_;
  if (wrapped_ && head_ == end_) {
    head_ = 0;
    wrapped_ = false;
  } else if (!wrapped_ && head_ == tail_) {
    head_ = tail_ = 0;
  }
}

void EventListener::clearLocked() {
  head_ = tail_ = end_ = 0;
  wrapped_ = false;
  bytes_ = count_ = closedAhead_ = 0;
  dropping_ = false;
}

void EventListener::wakeLocked() {
  notified_ = true;
  unannounced_ = false;
  cv_.notify_one();
}

void EventListener::addEvent(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pushLocked(event)) wakeLocked();
}

void EventListener::addBatchedEvent(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pushLocked(event)) unannounced_ = true;
}

void EventListener::flushEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unannounced_ && waiting_ && !notified_) wakeLocked();
  unannounced_ = false;
}

void EventListener::closeEvent() {
  Event closed;
  closed.setClosed();
  addEvent(closed);
}

void EventListener::clearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  clearLocked();
  if (waiting_) {
    ++wakeups_;
    notified_ = true;
    cv_.notify_all();
  }
}

size_t EventListener::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_ + closedAhead_;
}

uint64_t EventListener::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

EventListener::WaitResult EventListener::waitEvent(Event& event, unsigned int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto queuedNow = [&] { return count_ + closedAhead_ > 0; };
  if (queuedNow()) {
    waiting_ = false;
    popLocked(event);
    return Taken;
  }
  waiting_ = true;
  notified_ = false;
  const uint64_t wakeupsBefore = wakeups_;
  // A wake-up counts only once its events are announced, so a batch still
  // being read does not end the wait early.
  auto woken = [&] { return (queuedNow() && !unannounced_) || wakeups_ != wakeupsBefore; };
  bool timedOut = false;
  if (timeoutMs == 0) {
    cv_.wait(lock, woken);
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    timedOut = !cv_.wait_until(lock, deadline, woken);
  }
  waiting_ = false;
  notified_ = false;
  // Events of a batch not yet announced are still events: a wait that
  // times out with some queued takes one, as it would have been woken for
  // it a moment later.
  if (!queuedNow()) return timedOut ? TimedOut : Woken;
  popLocked(event);
  return Taken;
}

}  // namespace lc
