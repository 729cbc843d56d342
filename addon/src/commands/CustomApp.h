#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "commands/ConcastQueue.h"
#include "link/Communication.h"
#include "link/EventListener.h"
#include "link/EventListenerBase.h"
#include "link/Frame.h"
#include "util/Log.h"

namespace lc {

// The channel to a custom application running on the tiles. The script
// queues broadcast and data messages; each status frame of the relay carries
// at most one of each out, and every data frame that comes back becomes a
// "concast" record in concasts(), queued by the link's receive loop itself,
// so a flood of them never wakes the worker.
//
// Threads: start, stop, sendBroadcast and sendData run on the script thread;
// run on the worker's thread; concasts() is taken by whichever thread hands
// the records on (see ConcastQueue).
class CustomApp {
 public:
  static constexpr unsigned int kBroadcastSize = 2048;
  static constexpr unsigned int kDataSize = 1024;
  static constexpr unsigned int kConcastSize = ConcastQueue::kMaxRecord;
  // Messages each queue holds at most; one of each kind leaves per status
  // frame, so this is a backlog of that many status periods, generous
  // enough for a script's bursts. Messages are stored whole, so it also
  // bounds the bytes held: 8 MiB of broadcasts and 4 MiB of data messages.
  static constexpr size_t kQueueLimit = 4096;
  // Silence from the relay for this long ends a run.
  static constexpr unsigned int kWaitMs = 2000;

  // The frames of a run, all to the relay.
  static constexpr uint16_t kStartFrame = Frame::Request;     // empty, once per run
  static constexpr uint16_t kBroadcastFrame = Frame::Stream;  // a broadcast message
  static constexpr uint16_t kDataFrame = Frame::Block;        // a data message

  struct Timing {
    unsigned int waitMs = kWaitMs;
  };

  // One queued message, zero-filled past its length.
  template <unsigned int N>
  struct Buffer {
    uint32_t length = 0;
    unsigned char data[N] = {};
  };

  explicit CustomApp(Communication& communication);
  CustomApp(Communication& communication, Timing timing);
  ~CustomApp();
  CustomApp(const CustomApp&) = delete;
  CustomApp& operator=(const CustomApp&) = delete;

  // Arms a run from the script thread: registers the listener, drops what
  // was queued before and makes the channel active, all before the worker
  // exists, so a stop or a message right after it belongs to this run.
  // False when a run is already active.
  bool start();
  // Ends an active run at its next step; nothing otherwise.
  void stop();
  // Queue a message, cut to the queue's buffer size. False, and nothing
  // queued, while no run is active (the next start would drop it unsent) or
  // when the queue already holds kQueueLimit messages.
  bool sendBroadcast(const unsigned char* bytes, unsigned int length);
  bool sendData(const unsigned char* bytes, unsigned int length);

  // One step of an armed run; true while the run goes on. The last step
  // removes the listener and leaves the channel inactive.
  bool run();
  // Ends the run: removes the listener and leaves the channel inactive. The
  // last step does it; the wrapper does it again for a worker that never ran.
  void end();

  // The data frames of the current (or last) run; start empties it.
  ConcastQueue& concasts() { return concasts_; }
  bool active() const { return active_.load(); }
  size_t queuedBroadcasts() const;

 private:
  // What the link hands this channel while a run is registered: data frames
  // go to the concast queue on the receive loop, everything else to the
  // worker's listener.
  class Router : public EventListenerBase {
   public:
    explicit Router(CustomApp& app) : app_(app) {}
    void addEvent(const Event& event) override;
    void addBatchedEvent(const Event& event) override;
    void flushEvents() override;

   private:
    CustomApp& app_;
  };

  // Waits for one event and handles it; false when the run ends.
  bool processEvent();
  // The worker's wait found no event: true when a data frame came within
  // the silence bound all the same, with the time left of it in `waitMs`.
  bool dataKeptUp(unsigned int& waitMs) const;
  bool onStatus();
  // Sends the oldest message of a queue, if any. The message is copied out
  // so that no queue lock is held while the link writes; only this thread
  // removes messages, so the front is still the same one afterwards.
  template <unsigned int N>
  bool sendOldest(std::deque<Buffer<N>>& queue, std::mutex& mutex, uint16_t type);

  bool startSent_ = false;
  Communication& communication_;
  // Status and Closed events only; not registered with the link itself.
  EventListener listener_;
  ConcastQueue concasts_;
  Router router_{*this};
  // Raised by stop, so a send held up by the relay ends the run at once.
  StopFlag sendStop_;
  LogRef log_{"customAppCom"};
  std::atomic<bool> active_{false};
  std::deque<Buffer<kDataSize>> dataQueue_;
  std::deque<Buffer<kBroadcastSize>> broadcastQueue_;
  mutable std::mutex broadcastMutex_;
  mutable std::mutex dataMutex_;
  Timing timing_;
  // Worker-only copy of the message being sent; large enough for both kinds.
  Buffer<kBroadcastSize> outgoing_;
  // Worker-only: one record reused for every event.
  Event event_;
};

}  // namespace lc
