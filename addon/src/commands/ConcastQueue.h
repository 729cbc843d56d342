#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/Communication.h"

namespace lc {

// The data frames of a custom application run ("concasts"), on their way
// from the link's receive loop to the one reader that hands them to the
// script.
//
// The receive loop stages the records of one read without a lock (add) and
// moves them in under one lock when the read is done (flush). A flush that
// finds the queue without a drain asked for asks its sink for one; the
// reader then takes every record waiting in one go (take), by swapping
// storage with its batch. So a flood costs one lock per read on each side
// and one wake-up per drain, never one per record.
//
// At most kMaxQueuedBytes wait, counting each record's bytes plus 4 for its
// length (about 400 thousand records of 16 bytes): a reader that falls that
// far behind loses the oldest records, counted in dropped(). The storage
// never shrinks, and never grows past kMaxHeldBytes in all (the reader's
// batch and one read's staging included) however long the reader stalls.
class ConcastQueue {
 public:
  // A record keeps at most this many bytes of its frame.
  static constexpr uint32_t kMaxRecord = 256;
  static constexpr size_t kMaxQueuedBytes = size_t(8) << 20;
  // Records dropped from the front leave their room behind until this much
  // gathers; then the rest moves down: two bytes moved per byte dropped.
  static constexpr size_t kSlackBytes = kMaxQueuedBytes / 2;
  // One read of the link stages at most this much: a frame's 4-byte header
  // becomes the record's length, and a frame begun by the read before may
  // end in it.
  static constexpr size_t kMaxStagedBytes = Communication::kReadChunk + 4 + kMaxRecord;
  // The queue and the reader's batch, each with its slack and one read
  // beyond the bound before the oldest go, and the staging: about 24 MiB.
  static constexpr size_t kMaxHeldBytes =
      2 * (kMaxQueuedBytes + kSlackBytes + kMaxStagedBytes) + kMaxStagedBytes;

  class Sink {
   public:
    virtual ~Sink() = default;
    // Records wait and no drain has been asked for since the last take.
    // Called with the queue's lock held, from the receive loop or from
    // setSink: it must not call back into the queue.
    virtual void drainWanted() = 0;
  };

  // Records handed over by take, oldest first.
  class Batch {
   public:
    size_t count() const { return count_; }
    // The bytes of all records together.
    size_t payloadBytes() const { return payload_; }
    // Calls f(bytes, length) for each record, oldest first.
    template <typename F>
    void forEach(F&& f) const {
      for (size_t at = first_; at < stored_.size();) {
        uint32_t length;
        std::memcpy(&length, stored_.data() + at, sizeof length);
        f(stored_.data() + at + sizeof length, length);
        at += sizeof length + length;
      }
    }

   private:
    friend class ConcastQueue;
    void reset();
    void append(const unsigned char* bytes, uint32_t length, size_t limit);
    // Appends every record of `other`.
    void appendAll(const Batch& other, size_t limit);
    void dropOldest();
    // Moves the oldest `count` records (fewer than held) to the empty `to`.
    void moveOldest(size_t count, Batch& to);
    // The bytes the bound counts.
    size_t held() const { return stored_.size() - first_; }

    // Each record: its length (4 bytes, host order), then its bytes.
    std::vector<unsigned char> stored_;
    // Bytes before first_ belong to records dropped.
    size_t first_ = 0;
    size_t count_ = 0;
    size_t payload_ = 0;
  };

  // Receive loop only: keeps the first kMaxRecord bytes of a data frame.
  void add(const unsigned char* bytes, uint32_t length);
  // Receive loop only, once per read: queues what add kept.
  void flush();

  // Takes the oldest records waiting, at most `limit` of them; what
  // `batch` held before is gone. True when more are left: the drain asked
  // for stays asked, and the reader takes them with a later take. Otherwise
  // the next flush asks for a drain again.
  bool take(Batch& batch, size_t limit = SIZE_MAX);
  // Drops every record waiting and the counts, for a new run. Not while
  // the receive loop may add.
  void clear();
  // Who is asked for drains; nullptr asks nobody. Asks at once when records
  // wait and no drain has been asked for.
  void setSink(Sink* sink);

  // Records lost to the bound since the last clear.
  uint64_t dropped() const;
  // When the last record was queued; the clock's epoch before any was.
  std::chrono::steady_clock::time_point lastArrival() const;

 private:
  void askLocked();

  // Receive loop only.
  Batch staged_;

  mutable std::mutex mutex_;
  Batch queued_;
  Sink* sink_ = nullptr;
  bool drainAsked_ = false;
  uint64_t dropped_ = 0;
  std::atomic<std::chrono::steady_clock::rep> lastArrival_{0};
};

}  // namespace lc
