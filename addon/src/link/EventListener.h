#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/Event.h"
#include "link/EventListenerBase.h"
#include "util/Log.h"

namespace lc {

class Communication;

// A queue of a link's events that one worker thread drains with waitEvent.
//
// Events are kept at their real size (a small header and the payload bytes
// that arrived), not as whole 2 KB records, in a byte ring that grows by
// doubling and never shrinks: a steady flow of frames allocates nothing.
// Events the link delivers while reading one chunk wake a waiting reader
// once, at the end of the chunk (flushEvents), rather than once per frame.
//
// The ring holds at most kMaxQueuedBytes. A reader that falls that far
// behind loses the oldest Data and Status events, never a Closed one; the
// loss is counted (dropped()) and logged once per backlog.
class EventListener : public EventListenerBase {
 public:
  enum WaitResult : unsigned int { Taken = 0, TimedOut = 1, Woken = 2 };

  // The ring starts with room for this many events of a full payload.
  static constexpr size_t kInitialCapacity = 8;
  // About four thousand full data frames.
  static constexpr size_t kMaxQueuedBytes = size_t(8) << 20;

  EventListener();
  explicit EventListener(Communication& communication);
  ~EventListener() override;
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  void addEvent(const Event& event) override;
  void addBatchedEvent(const Event& event) override;
  void flushEvents() override;
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
  // Data and Status events lost to the cap since construction.
  uint64_t dropped() const;

 private:
  // Every field of an Event but the payload, as stored before it.
  struct Header {
    uint32_t length;
    uint32_t version;
    uint32_t aux2;
    uint16_t state;
    uint16_t pace;
    uint16_t packetSize;
    uint16_t aux1;
    uint16_t flags;
    uint8_t kind;
    uint8_t typeOne;
  };
  static constexpr size_t kAlign = 8;
  static constexpr size_t kHeaderSize = (sizeof(Header) + kAlign - 1) / kAlign * kAlign;

  // Ring bytes of an entry with `payload` bytes; payload bytes of an entry.
  static size_t storedSize(uint32_t payload);
  static uint32_t payloadOf(const Header& h);
  // Queues the event; true when a waiter should be woken for it.
  bool pushLocked(const Event& event);
  void popLocked(Event& event);
  // Removes the oldest stored entry without reading its payload.
  void dropOldestLocked();
  void releaseOldestLocked(size_t size);
  // Room for `bytes` more at the write end, growing up to the cap.
  bool makeRoomLocked(size_t bytes);
  void growLocked(size_t capacity);
  void clearLocked();
  void wakeLocked();

  // The ring: entries [head_, end_) then, once wrapped, [0, tail_);
  // unwrapped, [head_, tail_). Entries never straddle the end.
  std::vector<unsigned char> ring_;
  size_t head_ = 0;
  size_t tail_ = 0;
  size_t end_ = 0;
  bool wrapped_ = false;
  size_t bytes_ = 0;  // stored bytes, entries only
  size_t count_ = 0;
  // Closed events older than everything in the ring: a flood may have
  // pushed out all that came before them, but they are never dropped.
  size_t closedAhead_ = 0;
  uint64_t dropped_ = 0;
  bool dropping_ = false;

  std::condition_variable cv_;
  mutable std::mutex mutex_;
  bool waiting_ = false;
  // A wake-up is on its way to the waiter: later events need no other.
  bool notified_ = false;
  // Events were queued by the link without waking the waiter.
  bool unannounced_ = false;
  // Counts clearEvents wake-ups, so that a waiter tells them from spurious
  // returns of the condition variable.
  uint64_t wakeups_ = 0;
  Communication* communication_ = nullptr;
  LogRef log_{"listener"};
};

}  // namespace lc
