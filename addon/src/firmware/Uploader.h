#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "firmware/LoaderStream.h"
#include "link/CallCancel.h"
#include "link/Communication.h"
#include "link/EventListener.h"
#include "link/Frame.h"
#include "transport/CancellableWait.h"
#include "util/ProgressPacer.h"

namespace lc {

// Sends a loader stream to the relay, one 128-byte packet per frame, and
// watches for the tiles to take it. The boot code acknowledges nothing, so
// a fixed pause after every frame is the only flow control.
class Uploader {
 public:
  static constexpr uint16_t kFrameType = Frame::Block;
  static constexpr std::chrono::milliseconds kPause{5};
  // One wait slice and the bound of a whole watch.
  static constexpr unsigned int kWaitMs = 25000;
  static constexpr std::chrono::microseconds kBound{24999999};
  // The tiles need a moment after switching before they take commands.
  static constexpr std::chrono::milliseconds kSettle{1000};
  // The most of a pause waited out on the clock instead of asleep: timed
  // wake-ups come tens of microseconds late, and the timer is aimed early
  // by the lateness seen so far, up to this.
  static constexpr std::chrono::microseconds kMaxLead{200};

  // Tests shorten the waits; the defaults are the fixed values above.
  struct Timing {
    std::chrono::microseconds pause = kPause;
    unsigned int waitMs = kWaitMs;
    std::chrono::microseconds bound = kBound;
    std::chrono::microseconds settle = kSettle;
  };

  enum Result : unsigned int {
    Changed = 0,  // the relay reported a new state word
    NotSent = 1,  // the link was down or a write failed
    Closed = 2,   // the link ended while watching
    NoChange = 3  // the bound passed without a new state word, or no event came
  };

  explicit Uploader(Communication& communication) : Uploader(communication, Timing{}) {}
  Uploader(Communication& communication, Timing timing)
      : communication_(communication), timing_(timing) {}

  // Writes every packet of the stream, pausing after each; true when
  // all were written, or the stream is empty and the link is up.
  bool send(const LoaderStream& stream, ProgressPacer* progress = nullptr);
  // True when the relay reports a state word other than the current one
  // within the bound; false at once when the link is down.
  bool waitChange();
  // True when the link ends within the bound, or is down already.
  bool waitClose();

  // send, then the watch of waitChange, armed before the last frame is
  // written: a relay that answers within the last pause is still seen.
  Result upload(const LoaderStream& stream, ProgressPacer* progress = nullptr);

  // Cuts the pause under way short, and every later one: a stream then ends
  // unsent, a watch at once, a settle at once. The link stays up.
  void cancel() {
    sendStop_.raise();
    wait_.cancel();
    call_.cancel();
  }

 private:
  using Clock = std::chrono::steady_clock;

  // The state word a watch compares with. Unknown while the link has had no
  // status frame in this run: the word it holds is an earlier run's (or the
  // initial 0), and the first status then only tells the word.
  struct Baseline {
    uint32_t state = 0;
    bool known = false;
  };
  // Registers `listener` first, so that no status after the reading is missed.
  Baseline arm(EventListener& listener);

  // Arms `watch` just before the last frame is written, when it is given.
  bool sendStream(const std::vector<uint8_t>& stream, ProgressPacer* progress, EventListener* watch,
                  Baseline* before, Clock::time_point* sentAt);
  // After a cancel before packet `next`: ends the stream where the tiles can
  // take a new one.
  void closeStream(const std::vector<uint8_t>& stream, size_t next);
  Result watchChange(EventListener& listener, Baseline before, Clock::time_point start);
  // The next event within the bound counted from start; false when none came.
  bool nextEvent(EventListener& listener, Event& event, Clock::time_point start);

  Communication& communication_;
  Timing timing_;
  // The pauses between packets and the settle after a switch.
  CancellableWait wait_;
  // Raised with the cancel, for good, as the wait's cancel is.
  StopFlag sendStop_;
  // The watch's listener.
  CallCancel call_;
};

}  // namespace lc
