#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/Event.h"
#include "link/EventListenerBase.h"

namespace lc {

class Communication;

// A queue of a link's events that one worker thread drains with waitEvent.
// The queue is a ring of records that grows by doubling and never shrinks,
// so a steady flow of frames allocates nothing.
class EventListener : public EventListenerBase {
 public:
  enum WaitResult : unsigned int { Taken = 0, TimedOut = 1, Woken = 2 };

  static constexpr size_t kInitialCapacity = 8;

  EventListener();
  explicit EventListener(Communication& communication);
  ~EventListener() override;
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  void addEvent(const Event& event) override;
  // Queues a Closed event: a worker waiting here ends its loop at once.
  void closeEvent();
  // Drops every queued event and wakes a waiter, which then returns Woken.
  void clearEvents();
  // Moves the registration to another link (or keeps the one it has).
  void setCommunication(Communication& communication);

  // Takes the oldest event (Taken). Otherwise waits once: until an event
  // arrives (Taken), until timeoutMs have passed on the steady clock
  // (TimedOut), or until clearEvents wakes it with nothing queued (Woken).
  // timeoutMs 0 waits without a limit.
  WaitResult waitEvent(Event& event, unsigned int timeoutMs);

  size_t queued() const;

 private:
  void pushLocked(const Event& event);
  void popLocked(Event& event);

  std::vector<Event> ring_;
  size_t head_ = 0;
  size_t size_ = 0;
  std::condition_variable cv_;
  mutable std::mutex mutex_;
  bool waiting_ = false;
  // Counts clearEvents wake-ups, so that a waiter tells them from spurious
  // returns of the condition variable.
  uint64_t wakeups_ = 0;
  Communication* communication_ = nullptr;
};

}  // namespace lc
