#include "firmware/Uploader.h"

#include <algorithm>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace lc {

namespace {

// The kernel may defer a timed wake-up by the thread's timer slack (50 us by
// default), and thousands of pauses add that up to a visible part of an
// upload. Tightened for the stream only, then given back.
class TightTimers {
 public:
#if defined(__linux__)
  TightTimers() : previous_(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    if (previous_ > 0) ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  }
  ~TightTimers() {
    if (previous_ > 0) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_), 0, 0, 0);
  }

 private:
  int previous_;
#endif
};

// Every pause is counted from the write before it, so the lateness of each
// wake-up (the kernel's timer and the scheduler, about 60 us on a quiet
// machine) adds up over thousands of packets to a visible part of an upload.
// The timer is therefore aimed early by the lateness seen so far and the
// rest is waited out on the clock: a gap is never shorter than the pause,
// and seldom much longer. A cancel ends either part.
class PausePacer {
 public:
  using Clock = std::chrono::steady_clock;

  PausePacer(CancellableWait& wait, uint64_t epoch) : wait_(wait), epoch_(epoch) {}

  // False when cancelled.
  bool until(Clock::time_point resume) {
    const Clock::time_point aim = resume - lead_;
    Clock::time_point now = Clock::now();
    if (aim > now) {
      if (!wait_.sleepUntil(aim, epoch_)) return false;
      now = Clock::now();
      // Smoothed, so that one wake-up delayed by a busy machine does not
      // set the lead for the next ones.
      const Clock::duration late = now - aim;
      lead_ = std::min<Clock::duration>(Uploader::kMaxLead, (lead_ * 7 + late) / 8);
    }
    while (now < resume) {
      if (wait_.cancelledSince(epoch_)) return false;
      now = Clock::now();
    }
    return !wait_.cancelledSince(epoch_);
  }

 private:
  CancellableWait& wait_;
  const uint64_t epoch_;
  Clock::duration lead_{0};
};

// How many packets of the unit in progress are still to come when the stream
// stopped before packet `next`: the boot code takes a unit header's data
// packets (24 per kilobyte) or fillers (16) as such, whatever they hold.
size_t unitTail(const std::vector<uint8_t>& stream, size_t next) {
  const size_t size = LoaderStream::kPacketSize;
  size_t i = 0;
  while (i < next) {
    const uint8_t* packet = stream.data() + i * size;
    size_t body = 0;
    if (packet[0] == LoaderStream::CmdMemory) {
      const uint32_t address = uint32_t(packet[18]) | uint32_t(packet[19]) << 8 |
                               uint32_t(packet[20]) << 16 | uint32_t(packet[21]) << 24;
      const bool ram = address >= LoaderStream::kRamBase;
      body = 24 * (ram ? LoaderStream::kRamKbPerUnit : LoaderStream::kKernelKbPerUnit);
    } else if (packet[0] == LoaderStream::CmdEmpty) {
      body = 16;
    }
    const size_t end = i + 1 + body;
    if (next < end) return end - next;
    i = end;
  }
  return 0;
}

}  // namespace

void Uploader::closeStream(const std::vector<uint8_t>& stream, size_t next) {
  // The tiles' boot code knows no time-out: a stream that stops in the middle
  // leaves it waiting for the rest, and it would take the next stream's
  // packets as that rest. So the unit in progress is completed, then a reset
  // ends the stream: its count then differs from the size packet's and the
  // tiles refuse to run it, restart, and wait for a new stream.
  const size_t packets = stream.size() / LoaderStream::kPacketSize;
  const size_t tail = std::min(unitTail(stream, next), packets - next);
  for (size_t k = 0; k < tail; ++k) {
    std::this_thread::sleep_for(timing_.pause);
    if (!communication_.sendFrame(kFrameType,
                                  stream.data() + (next + k) * LoaderStream::kPacketSize,
                                  LoaderStream::kPacketSize)) {
      return;
    }
  }
  uint8_t reset[LoaderStream::kPacketSize] = {};
  LoaderStream::putVal(LoaderStream::CmdReset, reset, 1);
  LoaderStream::putVal(0xFFFF, reset + 6, 2);
  std::this_thread::sleep_for(timing_.pause);
  communication_.sendFrame(kFrameType, reset, LoaderStream::kPacketSize);
}

bool Uploader::send(const LoaderStream& stream, ProgressPacer* progress) {
  return sendStream(stream.data(), progress, nullptr, nullptr, nullptr);
}

Uploader::Baseline Uploader::arm(EventListener& listener) {
  listener.setCommunication(communication_);
  Baseline before;
  // The count first: a status counted after it reaches the listener as well.
  before.known = communication_.statusCount() > 0;
  before.state = communication_.lastState();
  return before;
}

bool Uploader::waitChange() {
  EventListener listener;
  CallCancel::Scope scope(call_, listener);
  const Baseline before = arm(listener);
  // A listener registered after the link ended never hears of the end: a
  // link that is down now reports no change, at once rather than at the bound.
  if (!communication_.running()) return false;
  return watchChange(listener, before, Clock::now()) == Changed;
}

bool Uploader::waitClose() {
  EventListener listener(communication_);
  CallCancel::Scope scope(call_, listener);
  // Already down: its end went out before the listener was there to hear it.
  if (!communication_.running()) return true;
  const Clock::time_point start = Clock::now();
  Event event;
  while (nextEvent(listener, event, start)) {
    if (event.kind == Event::Closed) return true;
  }
  return false;
}

Uploader::Result Uploader::upload(const LoaderStream& stream, ProgressPacer* progress) {
  EventListener listener;
  CallCancel::Scope scope(call_, listener);
  Baseline before;
  Clock::time_point sentAt;
  if (!sendStream(stream.data(), progress, &listener, &before, &sentAt)) return NotSent;
  return watchChange(listener, before, sentAt);
}

bool Uploader::sendStream(const std::vector<uint8_t>& stream, ProgressPacer* progress,
                          EventListener* watch, Baseline* before, Clock::time_point* sentAt) {
  const size_t packets = stream.size() / LoaderStream::kPacketSize;
  auto armWatch = [&] {
    if (watch != nullptr) *before = arm(*watch);
  };
  if (packets == 0) {
    armWatch();
    if (sentAt != nullptr) *sentAt = Clock::now();
    // No write tells a dead link apart here, and the watch would never hear
    // an end that came before it was armed.
    return communication_.running();
  }
  const uint32_t total = uint32_t(packets);
  PausePacer pauses(wait_, wait_.epoch());
  TightTimers timers;
  Clock::time_point resume;
  for (size_t i = 0; i < packets; ++i) {
    // Each pause ends a fixed time after the previous write returned, so a
    // late wake-up never shortens the gap the boot code gets.
    if (i > 0 && !pauses.until(resume)) {
      closeStream(stream, i);
      return false;
    }
    // Before the last write, not after it: tiles that switch at once would
    // otherwise change the state word before it is read.
    if (i + 1 == packets) armWatch();
    if (!communication_.sendFrame(kFrameType, stream.data() + i * LoaderStream::kPacketSize,
                                  LoaderStream::kPacketSize, &sendStop_)) {
      return false;
    }
    const Clock::time_point written = Clock::now();
    resume = written + timing_.pause;
    if (sentAt != nullptr) *sentAt = written;
    if (progress != nullptr) progress->update(uint32_t(i + 1), total);
  }
  return pauses.until(resume);
}

Uploader::Result Uploader::watchChange(EventListener& listener, Baseline before,
                                       Clock::time_point start) {
  Event event;
  while (nextEvent(listener, event, start)) {
    if (event.kind == Event::Closed) return Closed;
    if (event.kind != Event::Status) continue;
    if (!before.known) {
      before.state = event.state;
      before.known = true;
      continue;
    }
    if (event.state != before.state) {
      // The tiles switched either way; a cut pause only hurries the report.
      wait_.sleepFor(int(std::chrono::ceil<std::chrono::milliseconds>(timing_.settle).count()));
      return Changed;
    }
  }
  return NoChange;
}

bool Uploader::nextEvent(EventListener& listener, Event& event, Clock::time_point start) {
  const Clock::duration elapsed = Clock::now() - start;
  if (elapsed > timing_.bound) return false;
  // A slice never reaches past the bound, so a quiet link ends the watch on
  // time rather than one whole slice late.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(timing_.bound - elapsed).count();
  unsigned int slice = timing_.waitMs;
  if (left < long(slice)) slice = unsigned(left);
  if (slice == 0) slice = 1;  // 0 would wait without a limit
  return listener.waitEvent(event, slice) == EventListener::Taken;
}

}  // namespace lc
