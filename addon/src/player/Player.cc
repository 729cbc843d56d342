#include "player/Player.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "player/SensorsVisitor.h"
#include "topology/CoordinatesData.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/ModuleType.h"
#include "topology/OrientedData.h"
#include "topology/TopologyData.h"

namespace lc {

namespace {

// Where the tiles and sensors of the whole installation lie at `angle`,
// from the relay. The LEDs are the mappings' to place.
struct Placed {
  TopologyData<CoordinatesData> coordinates;
  TopologyData<OrientedData> oriented;
  CoordinatesVisitor visitor;
  Placed(const Topology& topology, unsigned angle)
      : visitor(coordinates, oriented, angle, CoordinatesVisitor::NoLeds) {
    topology.visitAll(visitor, 0);
  }
};

std::uint16_t u16At(const unsigned char* data, std::size_t index) {
  return static_cast<std::uint16_t>(data[2 * index] | (data[2 * index + 1] << 8));
}

}  // namespace

Buffer::Mode Player::modeFromName(const std::string& name) {
  if (name == "mask") return Buffer::MaskMode;
  if (name == "video") return Buffer::VideoMode;
  return Buffer::RgbMode;
}

Data::Format Player::formatFromName(const std::string& name) {
  return name == "BGR" ? Data::BGR : Data::RGB;
}

Player::Player(Communication& communication) : Player(communication, Timing{}) {}

Player::Player(Communication& communication, Timing timing)
    : communication_(communication), timing_(timing), batch_(new unsigned char[kBatchSize]) {}

Player::~Player() { communication_.removeEventListener(listener_); }

Player::SetUp Player::checkTopology(const Topology& topology) {
  // The walk starts at the relay, and the record size comes from modules 0
  // and 1: without them there is nothing to play on.
  if (!topology.contains(0)) return NoRelay;
  if (topology.size() > 1 && !topology.contains(1)) return NoSecondModule;
  return Ready;
}

Player::SetUp Player::measure(const Topology& topology, unsigned angle, Buffer::Mode mode,
                              Screen& out) const {
  const SetUp check = checkTopology(topology);
  if (check != Ready) return check;
  // Counted as initScreen lays the frames out, without building them.
  Placed placed(topology, angle);
  const std::size_t frames =
      Buffer::framesFor(placed.coordinates, mode, communication_.lastPacketSize());
  if (frames == 0) return NoMapping;
  out.frames = static_cast<std::uint32_t>(frames);
  SensorsVisitor sensors(placed.coordinates);
  topology.visitAll(sensors, 0);
  out.width = placed.visitor.screenWidth();
  out.height = placed.visitor.screenHeight();
  out.rows = sensors.rowCount();
  out.columns = sensors.columnCount();
  return Ready;
}

Player::SetUp Player::initScreen(const Topology& topology, unsigned angle, Buffer::Mode mode,
                                 bool sensors, const Correction& correction) {
  // The mappings are what a running worker sends from.
  if (playing_.load()) return Busy;
  const SetUp check = checkTopology(topology);
  if (check != Ready) return check;
  // The sensor grid reads the placement the mappings were built from.
  TopologyData<CoordinatesData> placed;
  if (!buffer_.initScreen(topology, angle, mode, communication_.lastPacketSize(), correction,
                          &placed)) {
    return NoMapping;
  }
  sensorsEnabled_ = sensors;

  SensorsVisitor grid(placed);
  topology.visitAll(grid, 0);
  sensorRows_ = grid.layoutRows();
  sensorStride_ = grid.layoutStride();
  sensorLayout_ = grid.takeFlatLayout();
  // At least one entry per grid cell: a layout of few modules with many
  // sensors can have more cells than modules x sensors, and every value
  // the relay reports must have a place.
  std::size_t count = sensorLayout_.size();
  count =
      std::max<std::size_t>(count, static_cast<std::size_t>(grid.rowCount()) * grid.columnCount());
  if (count != sensorCount_) {
    auto resized = std::make_unique<std::atomic<std::uint16_t>[]>(count);
    for (std::size_t i = 0; i < count; ++i) {
      resized[i].store(i < sensorCount_ ? sensors_[i].load(std::memory_order_relaxed) : 0,
                       std::memory_order_relaxed);
    }
    sensors_ = std::move(resized);
    sensorCount_ = count;
  }

  moduleCount_ = static_cast<std::uint32_t>(topology.size());
  sensorsPerModule_ = lc::sensorCount(topology.find(0)->type());
  if (topology.size() > 1) {
    sensorsPerModule_ = std::max(sensorsPerModule_, lc::sensorCount(topology.find(1)->type()));
  }
  recordSize_ = 2 + 2 * sensorsPerModule_;

  const std::uint32_t pace = communication_.lastPace();
  // 64-bit: the stored pace is a 32-bit word, whatever the wire carries.
  const std::uint64_t wide = static_cast<std::uint64_t>(pace) * 100;
  burst_ =
      wide < 50 ? 1 : static_cast<std::uint32_t>(std::min<std::uint64_t>(wide / 50, kMaxBurst));

  framesSent_.store(0);
  slotsSkipped_.store(0);
  statusEvents_.store(0);
  sweeps_.store(0);
  // Events left from an earlier playback (a stop that raced its end
  // included) must not reach this one.
  listener_.clearEvents();
  active_ = false;
  playing_.store(true);
  return Ready;
}

bool Player::run() {
  if (!active_) {
    for (std::size_t i = 0; i < sensorCount_; ++i) sensors_[i].store(0, std::memory_order_relaxed);
    active_ = true;
    started_ = false;
    firstSent_ = false;
    expectedModule_ = 0;
    credit_ = 0;
    sendStop_.clear();
    listener_.setCommunication(communication_);
  }
  if (processEvent()) return true;
  finish();
  return false;
}

void Player::finish() {
  active_ = false;
  communication_.removeEventListener(listener_);
  playing_.store(false);
}

bool Player::processEvent() {
  if (listener_.waitEvent(event_, timing_.eventTimeoutMs) != EventListener::Taken) return false;
  switch (event_.kind) {
    case Event::Closed:
      return false;
    case Event::Status: {
      // Counted once answered, so a reader of the counter sees the frames.
      const bool sent = frameRequest(event_.flags);
      statusEvents_.fetch_add(1, std::memory_order_relaxed);
      return sent;
    }
    case Event::Data:
      if (sensorsEnabled_ && event_.length >= recordSize_) readSensors(event_);
      return true;
  }
  return true;
}

void Player::readSensors(const Event& event) {
  const std::size_t length = std::min<std::size_t>(event.length, Event::kMaxData);
  const std::size_t records = length / recordSize_;
  const std::size_t h = recordSize_ / 2;
  for (std::size_t j = 0; j < records; ++j) {
    const std::size_t base = h * j;
    const std::uint16_t index = u16At(event.data, base);
    // Records come in module order; one out of order ends this event. A
    // record of module 0 always begins a new sweep, so that one lost or
    // misplaced record does not stop the reading for the rest of the
    // playback (the relay starts every sweep at module 0).
    if (index != expectedModule_) {
      if (index != 0) return;
      expectedModule_ = 0;
    }
    if (index < sensorRows_) {
      const std::int32_t* row = sensorLayout_.data() + index * sensorStride_;
      const std::size_t n = std::min<std::size_t>(sensorsPerModule_, sensorStride_);
      for (std::size_t k = 0; k < n; ++k) {
        const std::int32_t t = row[k];
        if (t < 0 || static_cast<std::size_t>(t) >= sensorCount_) continue;
        sensors_[t].store(u16At(event.data, base + 1 + k), std::memory_order_relaxed);
      }
    }
    if (++expectedModule_ >= moduleCount_) {
      expectedModule_ = 0;
      sweeps_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
}

bool Player::frameRequest(unsigned) {
  std::uint32_t slots;
  if (started_) {
    if (credit_ > 0) --credit_;
    if (credit_ != 0) return true;
    slots = burst_;
  } else {
    // The first request starts one burst ahead.
    slots = 2 * burst_;
    started_ = true;
  }
  credit_ = burst_;
  return sendSlots(slots);
}

bool Player::sendSlots(std::uint32_t slots) {
  if (buffer_.frameCount() == 0) {
    log_.error("No picture to send: the player was not set up.");
    return false;
  }
  // The frames of a burst leave together, as many to a write as the batch
  // holds: the stream carries the same bytes, in one system call instead of
  // one per frame.
  const std::uint32_t length = buffer_.frameLength();
  // More than a frame can announce: refused whole, as a single send would.
  if (length > Frame::kMaxPayload) return false;
  const std::size_t size = Frame::kHeaderSize + length;
  unsigned char* batch = batch_.get();
  std::size_t used = 0;
  std::uint64_t framed = 0;
  const auto flush = [&] {
    if (used == 0) return true;
    if (!communication_.sendFramed(batch, unsigned(used), &sendStop_)) return false;
    firstSent_ = true;
    framesSent_.fetch_add(framed, std::memory_order_relaxed);
    used = 0;
    framed = 0;
    return true;
  };
  for (std::uint32_t i = 0; i < slots; ++i) {
    const std::uint8_t* frame = buffer_.nextFrame();
    if (skipCounter_ == kSkipPeriod) {
      skipCounter_ = 0;
      buffer_.markSkipped();
      slotsSkipped_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    ++skipCounter_;
    if (used + size > kBatchSize && !flush()) return false;
    // The start marker goes with the first frame that really leaves, even
    // when the playback's first slot is a skipped one.
    const std::uint16_t type = firstSent_ || used > 0 ? Frame::Stream : Frame::Pixels;
    encodeHeader(type, std::uint16_t(length), batch + used);
    std::memcpy(batch + used + Frame::kHeaderSize, frame, length);
    used += size;
    ++framed;
  }
  return flush();
}

bool Player::addImage(const unsigned char* image, unsigned length, Data::Format format,
                      std::uint32_t rowBytes) {
  return buffer_.addImage(image, length, format, rowBytes) != Buffer::Ignored;
}

std::size_t Player::getSensors(std::uint16_t* out, std::size_t count) const {
  const std::size_t n = std::min(count, sensorCount_);
  for (std::size_t i = 0; i < n; ++i) out[i] = sensors_[i].load(std::memory_order_relaxed);
  return n;
}

void Player::stop() {
  if (!playing_.load()) return;
  sendStop_.raise();
  listener_.closeEvent();
}

void Player::abandon() {
  sendStop_.raise();
  listener_.closeEvent();
}

Player::Counters Player::counters() const {
  Counters c;
  c.framesSent = framesSent_.load(std::memory_order_relaxed);
  c.slotsSkipped = slotsSkipped_.load(std::memory_order_relaxed);
  c.imagesDropped = buffer_.overwritten();
  c.statusEvents = statusEvents_.load(std::memory_order_relaxed);
  return c;
}

}  // namespace lc
