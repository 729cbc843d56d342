#pragma once

// The streaming engine: cycles the current picture to the relay as pixel
// frames, paced by the relay's status frames, and gathers the sensor values
// the relay reports. The script thread sets a playback up, feeds images and
// reads sensors; one worker thread runs the loop (run) until it ends.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/Communication.h"
#include "link/Event.h"
#include "link/EventListener.h"
#include "link/Frame.h"
#include "player/Buffer.h"
#include "player/Data.h"
#include "topology/Topology.h"
#include "util/Log.h"

namespace lc {

class Player {
 public:
  // A relay that sends nothing for this long ends the playback.
  static constexpr unsigned kEventTimeoutMs = 2000;
  // One frame slot in every kSkipPeriod + 1 is left out.
  static constexpr std::uint32_t kSkipPeriod = 100;
  // The most frames a burst holds. A burst is twice the relay's pace, and the
  // first request of a playback sends two bursts; frames carry a 16-bit
  // number, so capped here those two bursts never hold more frames than one
  // cycle of frame numbers: a relay cannot tell more frames ahead apart. The
  // pace is the relay's to report: uncapped, 65535 would ask for 262140
  // frames at once and hold the worker (and a stop) until they were written.
  static constexpr std::uint32_t kMaxBurst = 0xffff / 2;
  // The first pixel frame of a playback (Frame::Pixels) tells the relay a
  // stream begins; the others go as Frame::Stream.

  struct Timing {
    unsigned eventTimeoutMs = kEventTimeoutMs;
  };

  enum SetUp : unsigned {
    Ready = 0,
    Busy,            // a playback is running
    NoRelay,         // the topology has no module 0
    NoSecondModule,  // two or more modules, but none with id 1
    NoMapping,       // the mode names no mapping and none was built before
  };

  // What a script needs to draw for an installation: the image size, the
  // sensor grid's shape (its cell r, c is getSensors' entry r x columns + c)
  // and the frames one picture takes at the link's packet size.
  struct Screen {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rows = 0;
    std::uint32_t columns = 0;
    std::uint32_t frames = 0;
  };

  // Counters of the current (or last) playback; readable from any thread.
  struct Counters {
    std::uint64_t framesSent = 0;
    std::uint64_t slotsSkipped = 0;
    std::uint64_t imagesDropped = 0;
    std::uint64_t statusEvents = 0;
  };

  // Script names, compared exactly: "mask", "video", anything else RGB;
  // "BGR", anything else RGB.
  static Buffer::Mode modeFromName(const std::string& name);
  static Data::Format formatFromName(const std::string& name);

  explicit Player(Communication& communication);
  Player(Communication& communication, Timing timing);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Script thread. Builds the mappings and the sensor layout for a new
  // playback, which then begins with the worker's first run().
  SetUp initScreen(const Topology& topology, unsigned angle, Buffer::Mode mode, bool sensors,
                   const Correction& correction = Correction());
  // The screen of `topology` at `angle` in `mode`, without touching a
  // playback.
  SetUp measure(const Topology& topology, unsigned angle, Buffer::Mode mode, Screen& out) const;

  // Worker thread: one step of the loop; false once the playback ended.
  bool run();
  bool processEvent();
  bool frameRequest(unsigned flags);

  // Script thread: writes an image into the write slot and hands it over;
  // ignored (false) before the first set-up. Rows of the image are
  // `rowBytes` apart (0: four bytes a pixel of the screen's width).
  bool addImage(const unsigned char* image, unsigned length, Data::Format format,
                std::uint32_t rowBytes = 0);
  // Copies min(sensorCount, count) sensor values; returns how many.
  std::size_t getSensors(std::uint16_t* out, std::size_t count) const;
  // Ends a running (or set-up, not yet begun) playback at its next event.
  // Does nothing when no playback runs, so no stale end is left for the next.
  void stop();
  // Ends the loop whatever its state: the runtime is going away.
  void abandon();
  // Worker side of the end of a playback (run does it when the loop ends):
  // leaves the link and clears playing. Harmless when already done.
  void finish();

  bool playing() const { return playing_.load(); }
  // Pictures written and taken by the sender in this playback (see Buffer),
  // and complete sweeps of sensor records: what a script waits on.
  std::uint64_t added() const { return buffer_.added(); }
  std::uint64_t taken() const { return buffer_.taken(); }
  // The script thread's copy of the picture being sent (see Buffer).
  std::size_t copyFrames(std::uint8_t* out, std::size_t capacity) const {
    return buffer_.copyFrames(out, capacity);
  }
  std::uint64_t sweeps() const { return sweeps_.load(std::memory_order_relaxed); }
  Counters counters() const;
  const Buffer& buffer() const { return buffer_; }
  std::uint32_t burst() const { return burst_; }
  std::uint32_t recordSize() const { return recordSize_; }
  std::size_t sensorCount() const { return sensorCount_; }

 private:
  static SetUp checkTopology(const Topology& topology);
  // Sends the next `slots` frame slots of the picture.
  bool sendSlots(std::uint32_t slots);
  void readSensors(const Event& event);

  Communication& communication_;
  Timing timing_;
  EventListener listener_;
  // Raised by stop, so a burst held up by the relay ends the playback at once.
  StopFlag sendStop_;
  Buffer buffer_;
  LogRef log_{"streaming"};
  // A burst's frames, header and payload each, as they go out; room for the
  // largest frame, so a write always holds at least one.
  static constexpr std::size_t kBatchSize = Frame::kMaxSize;
  std::unique_ptr<unsigned char[]> batch_;
  // Received into a member: an event is a 2 KB record, not worth zeroing
  // on the stack for every frame.
  Event event_;

  // Worker state (the script thread touches it only in initScreen, while no
  // playback runs).
  bool active_ = false;
  bool started_ = false;
  bool firstSent_ = false;
  std::uint32_t skipCounter_ = 0;
  std::uint32_t credit_ = 0;
  std::uint32_t burst_ = 1;
  bool sensorsEnabled_ = false;
  std::uint32_t expectedModule_ = 0;
  std::uint32_t moduleCount_ = 0;
  std::uint32_t sensorsPerModule_ = 0;
  std::uint32_t recordSize_ = 2;
  // Row i (module index i) is the sensorStride_ entries from i x sensorStride_.
  std::vector<std::int32_t> sensorLayout_;
  std::size_t sensorRows_ = 0;
  std::uint32_t sensorStride_ = 0;

  // Written by the worker, copied by the script thread: whole values only.
  std::unique_ptr<std::atomic<std::uint16_t>[]> sensors_;
  std::size_t sensorCount_ = 0;

  // From a successful set-up until the loop ended.
  std::atomic<bool> playing_{false};

  std::atomic<std::uint64_t> framesSent_{0};
  std::atomic<std::uint64_t> slotsSkipped_{0};
  std::atomic<std::uint64_t> statusEvents_{0};
  std::atomic<std::uint64_t> sweeps_{0};
};

}  // namespace lc
