#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "link/Event.h"
#include "link/EventListenerBase.h"
#include "link/Frame.h"
#include "link/RawListenerBase.h"
#include "transport/ComDriver.h"
#include "transport/StopFlag.h"

namespace lc {

// The link to one relay: frames out through sendFrame, frames in through a
// receive thread that hands them to raw listeners as bytes and to event
// listeners as decoded events. It also keeps the latest status values.
//
// Lock order: listenersMutex_, then a listener's own lock. stateMutex_ may be
// followed by joinMutex_; nothing else nests. No lock is held while the
// driver connects, so a stop never waits for a connect.
class Communication {
 public:
  // How often a sender waiting for the transmit lock looks at its stop.
  static constexpr std::chrono::milliseconds kTxLockSlice{5};
  // Bytes asked of the driver per read: a busy relay's small frames arrive
  // many to a read instead of two reads each.
  static constexpr unsigned int kReadChunk = 65536;

  static constexpr uint32_t kInitialPacketSize = Event::kDefaultPacketSize;
  static constexpr uint32_t kInitialPace = 1;

  Communication();
  ~Communication();
  Communication(const Communication&) = delete;
  Communication& operator=(const Communication&) = delete;

  // The driver the next start connects with; not owned. Refused (false) while
  // a run has not been joined or a start is connecting, so neither a receive
  // thread nor a connect loses its driver.
  bool setDriver(ComDriver* driver);
  ComDriver* driver() const { return driver_; }

  // Taken when a start is requested (on the thread that also calls stop):
  // a stop or retire after that moment fails the start it is passed to.
  uint64_t ticket() const { return stops_.load(); }
  // Connects and starts the receive thread. False when there is no driver,
  // a stop or retire ran since the ticket was taken (also while connecting:
  // the connect is cut short), the connect fails, a start is already
  // connecting, a previous run has not been joined yet, or the link was
  // retired.
  bool start(uint64_t ticket);
  bool start() { return start(ticket()); }
  // The same connect, but no receive thread: the caller then runs the loop
  // itself with receiveHere, so an owner that only watches the link needs
  // no thread besides its own. Until that loop ended, the link counts as a
  // run not joined yet.
  bool startHere(uint64_t ticket);
  // After a startHere that succeeded: reads and dispatches on this thread
  // until the link ends (a stop, a failed read, the silence bound).
  void receiveHere();
  // Fails the starts of earlier tickets (cancelling a connect in progress),
  // clears running and closes the driver; the receive thread ends by itself.
  // Never waits for a connect.
  void stop();
  // stop, then wait for a start in progress to give up and join the receive
  // thread.
  void stopAndWait();
  // Joins the receive thread if it has ended or is ending, or waits for a
  // loop run by receiveHere on another thread to end.
  void join();
  // Stops for good and joins: every later start fails, and a connect in
  // progress is cancelled. Used by an owner that is about to destroy the
  // driver while a worker may still be starting the link.
  void retire();
  // After stopAndWait: gives the driver's descriptors back at once, rather
  // than when the next start or the driver's owner does. Nothing happens
  // while a start connects or a run has not been joined.
  void releaseDriver();

  // One frame: header and payload leave in one driver write. False when the
  // link is not running, the write fails, or the payload is longer than a
  // frame can announce (rather than sending a cut frame).
  //
  // A write that the relay leaves without progress for the driver's bound
  // fails and ends the link, as does any failed write: the stream cannot be
  // trusted after it. While a send waits, for the relay or for another
  // sender, a raised `stop` makes it give up at once (false; the link stays
  // up unless part of the frame had already left), so the stop of the
  // operation that sends never waits on the relay.
  bool sendFrame(uint16_t type, const unsigned char* payload, unsigned int length,
                 const StopFlag* stop = nullptr);
  // Bytes that are already whole frames, written as they are in one driver
  // write under the transmit lock, so they never split a frame of sendFrame.
  // False when the link is not running or the write fails; bounded as
  // sendFrame is.
  bool sendFramed(const unsigned char* bytes, unsigned int length, const StopFlag* stop = nullptr);

  void addEventListener(EventListenerBase& listener);
  void removeEventListener(EventListenerBase& listener);
  void addRawListener(RawListenerBase& listener);
  void removeRawListener(RawListenerBase& listener);

  bool running() const { return running_.load(); }
  uint32_t lastState() const { return lastState_.load(); }
  // Status frames of the current run (since the last start): until one came,
  // lastState still holds an earlier run's word, or none.
  uint64_t statusCount() const { return statusCount_.load(); }
  uint32_t lastVersion() const { return lastVersion_.load(); }
  uint32_t lastPacketSize() const { return lastPacketSize_.load(); }
  uint32_t lastPace() const { return lastPace_.load(); }

 private:
  bool begin(uint64_t ticket, bool ownThread);
  void receive();
  // A run not joined yet: a receive thread, or a loop owed by startHere.
  bool unjoinedLocked() const { return receiveThread_.joinable() || receivingHere_; }
  void deliver(const Event& event);
  // Raw listeners, then the decoded event; called for each frame cut, with
  // listenersMutex_ held.
  void dispatch(const FrameView& frame, Event& event);
  void waitForStart();
  // Waits for the transmit lock while the link runs and stop is not raised.
  bool lockTx(std::unique_lock<std::timed_mutex>& tx, const StopFlag* stop);
  // One driver write under the transmit lock; a failed one ends the link.
  bool transmit(const unsigned char* bytes, unsigned int length, const StopFlag* stop);

  std::thread receiveThread_;
  // Sized once for the largest frame; sendFrame assembles into it.
  std::unique_ptr<unsigned char[]> txBuffer_;
  std::atomic<bool> running_{false};
  std::atomic<uint32_t> lastState_{0};
  ComDriver* driver_ = nullptr;
  std::mutex listenersMutex_;
  // Timed, so that a sender waiting behind one that the relay holds up can
  // still see its own stop or the end of the link.
  std::timed_mutex txMutex_;
  std::mutex stateMutex_;
  std::mutex joinMutex_;
  // Capacity reserved up front so that registering rarely allocates.
  std::vector<EventListenerBase*> eventListeners_;
  std::vector<RawListenerBase*> rawListeners_;
  std::atomic<uint64_t> statusCount_{0};
  std::atomic<uint32_t> lastVersion_{0};
  std::atomic<uint32_t> lastPacketSize_{kInitialPacketSize};
  std::atomic<uint32_t> lastPace_{kInitialPace};
  // Bytes as read, and the cutter that finds the frames in them; only the
  // receive thread uses them.
  std::unique_ptr<unsigned char[]> rxBuffer_;
  FrameCutter cutter_;
  std::atomic<bool> retired_{false};
  // Stops so far; a start's ticket must still match it.
  std::atomic<uint64_t> stops_{0};
  // A start is connecting; guarded by stateMutex_.
  bool starting_ = false;
  std::condition_variable startEnded_;
  // From a startHere that succeeded until its receiveHere returned;
  // guarded by joinMutex_.
  bool receivingHere_ = false;
  std::condition_variable hereEnded_;
};

}  // namespace lc
