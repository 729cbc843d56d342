#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "link/Event.h"
#include "link/EventListenerBase.h"
#include "link/RawListenerBase.h"

namespace lc::test {

// Keeps every event it is given; tests wait for a count with a deadline.
class EventRecorder : public EventListenerBase {
 public:
  void addEvent(const Event& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    cv_.notify_all();
  }
  bool waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return events_.size() >= count; });
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t count(Event::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const Event& e : events_) n += e.kind == kind;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// Keeps the raw bytes and the number of addRaw calls.
class RawRecorder : public RawListenerBase {
 public:
  void addRaw(const unsigned char* bytes, unsigned int length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.insert(bytes_.end(), bytes, bytes + length);
    ++calls_;
  }
  std::vector<unsigned char> bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  size_t calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<unsigned char> bytes_;
  size_t calls_ = 0;
};

}  // namespace lc::test
