#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/Communication.h"
#include "player/Player.h"
#include "support/ScriptedDriver.h"
#include "support/TopologyFixtures.h"

namespace lc {
namespace {

using namespace std::chrono_literals;
using test::frame;
using test::join;
using test::relayWithTile;
using test::statusPayload;
using Bytes = std::vector<unsigned char>;

// Offset of module 1's first LED (red byte) in a video frame of 300-byte slots.
constexpr unsigned kFirstLed = 2 + 300;

// A scripted relay that keeps a summary of every frame the player sends
// rather than the bytes, so long runs stay cheap.
class FrameLog : public test::ScriptedDriver {
 public:
  struct Sent {
    std::uint16_t type;
    std::uint16_t length;
    std::uint16_t number;
    std::uint8_t led;  // the byte at kFirstLed
  };

  // A write may hold several whole frames (a burst).
  bool write(const unsigned char* data, unsigned int length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_ || length < 6) return false;
    ++writes_;
    while (length >= 6) {
      const std::uint16_t payload = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
      if (length < 4u + payload) return false;
      sent_.push_back(Sent{static_cast<std::uint16_t>(data[0] | (data[1] << 8)), payload,
                           static_cast<std::uint16_t>(data[4] | (data[5] << 8)),
                           payload > kFirstLed ? data[4 + kFirstLed] : std::uint8_t{0}});
      if (keepBytes_) bytes_.insert(bytes_.end(), data, data + 4 + payload);
      data += 4 + payload;
      length -= 4 + payload;
    }
    return length == 0;
  }
  void keepBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    keepBytes_ = true;
  }
  Bytes bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  int writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  void fail() {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = true;
  }
  std::vector<Sent> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  // Frames sent since the previous call.
  std::vector<Sent> fresh() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Sent> out(sent_.begin() + static_cast<std::ptrdiff_t>(taken_), sent_.end());
    taken_ = sent_.size();
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
  std::size_t taken_ = 0;
  bool failing_ = false;
  bool keepBytes_ = false;
  Bytes bytes_;
  int writes_ = 0;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// A started link on the frame log. Declared before the player that uses it,
// so that the player leaves the link first.
struct Link {
  FrameLog driver;
  Communication link;

  Link() {
    link.setDriver(&driver);
    EXPECT_TRUE(link.start());
  }
  ~Link() { link.stopAndWait(); }

  Bytes status(std::uint16_t pace = 1, std::uint16_t packetSize = 918) const {
    return frame(0, statusPayload(1, pace, 0, packetSize, 128, 60, 8));
  }
  // Makes the link take these values before a set-up reads them.
  void announce(std::uint16_t pace, std::uint16_t packetSize) {
    driver.feed(status(pace, packetSize));
    EXPECT_TRUE(
        eventually([&] { return link.lastPace() == pace && link.lastPacketSize() == packetSize; }));
  }
};

// The player's loop on a thread of its own, as the worker runs it.
struct Loop {
  explicit Loop(Player& p)
      : player(p), thread([this] {
          while (player.run()) {
          }
          ended = true;
        }) {}
  ~Loop() {
    if (!ended) player.abandon();
    thread.join();
  }
  bool waitEnded(std::chrono::milliseconds limit = 5s) {
    return eventually([&] { return ended.load(); }, limit);
  }

  Player& player;
  std::atomic<bool> ended{false};
  std::thread thread;
};

// Feeds status frames until the loop has answered one: the loop registers
// its listener when it begins, and events sent earlier are not its own. Then
// waits until every status fed was answered, so that tests can count on.
bool prime(Link& l, Player& player) {
  bool answered = false;
  for (int i = 0; i < 50 && !answered; ++i) {
    l.driver.feed(l.status());
    answered = eventually([&] { return player.counters().statusEvents > 0; }, 100ms);
  }
  if (!answered || !l.driver.waitDrained(2s)) return false;
  std::uint64_t seen;
  do {
    seen = player.counters().statusEvents;
    std::this_thread::sleep_for(30ms);
  } while (player.counters().statusEvents != seen);
  return true;
}

// Relay and `tiles` square tiles in a row (tile i + 1 east of tile i).
Topology row(unsigned tiles, ModuleType type) {
  Topology t = relayWithTile(type);
  for (unsigned i = 2; i <= tiles; ++i) join(t, i - 1, 1, i, 3, type);
  return t;
}

// Five sensor tiles in an L: three in a row, then two going south from the
// last. Its sensor grid has 6 x 6 cells, more than 6 modules x 4 sensors.
Topology lShape() {
  Topology t = row(3, TypeQuadraV2);
  join(t, 3, 2, 4, 0, TypeQuadraV2);
  join(t, 4, 2, 5, 0, TypeQuadraV2);
  return t;
}

std::vector<std::uint8_t> flat(std::uint8_t value) {
  return std::vector<std::uint8_t>(400, value);  // 10 x 10 pixels
}

TEST(PlayerTest, BurstsFollowThePaceOverALongRun) {
  // Twelve tiles: a picture of five video frames.
  const Topology twelve = row(12, TypeQuadra);
  struct Case {
    std::uint16_t pace;
    std::uint32_t burst;
  };
  for (const Case c : {Case{0, 1}, Case{1, 2}, Case{2, 4}, Case{3, 6}}) {
    SCOPED_TRACE(c.pace);
    Link l;
    l.announce(c.pace, 918);
    Player player(l.link);
    ASSERT_EQ(player.initScreen(twelve, 0, Buffer::VideoMode, false), Player::Ready);
    ASSERT_EQ(player.buffer().frameCount(), 5u);
    EXPECT_EQ(player.burst(), c.burst);

    std::uint64_t slot = 0;  // frame slots since the player was made
    bool first = true;
    for (unsigned request = 1; request <= 700; ++request) {
      ASSERT_TRUE(player.frameRequest(8));
      // One burst ahead at the first request, then a burst every burst-th.
      const std::uint32_t slots =
          request == 1 ? 2 * c.burst : ((request - 1) % c.burst == 0 ? c.burst : 0);
      std::vector<FrameLog::Sent> expected;
      for (std::uint32_t s = 0; s < slots; ++s) {
        ++slot;
        if (slot % 101 == 0) continue;  // one slot in every 101 stays empty
        // The advance comes first, so the cycle runs 2, 3, 4, 5, 1, 2, ...
        const auto number = static_cast<std::uint16_t>(slot % 5 + 1);
        expected.push_back({static_cast<std::uint16_t>(first ? 5 : 0), 918, number, 0});
        first = false;
      }
      const std::vector<FrameLog::Sent> sent = l.driver.fresh();
      ASSERT_EQ(sent.size(), expected.size()) << "request " << request;
      for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].type, expected[i].type) << "request " << request;
        ASSERT_EQ(sent[i].length, expected[i].length);
        ASSERT_EQ(sent[i].number, expected[i].number) << "request " << request;
      }
    }
    const Player::Counters counters = player.counters();
    EXPECT_EQ(counters.framesSent + counters.slotsSkipped, slot);
    EXPECT_EQ(counters.slotsSkipped, slot / 101);
  }
}

// However large a pace the relay reports, a burst stays within kMaxBurst:
// the first request sends two bursts, at most one cycle of 16-bit frame
// numbers, and the next burst comes a burst of requests later, as for any pace.
TEST(PlayerTest, AHugePaceIsCappedAtTwoBurstsOfOneNumberingCycle) {
  const Topology one = relayWithTile(TypeQuadra);
  struct Case {
    std::uint16_t pace;
    std::uint32_t burst;
  };
  static_assert(2 * Player::kMaxBurst <= 0xffff, "two bursts within one numbering cycle");
  for (const Case c :
       {Case{16383, 32766}, Case{16384, Player::kMaxBurst}, Case{65535, Player::kMaxBurst}}) {
    SCOPED_TRACE(c.pace);
    Link l;
    l.announce(c.pace, 918);
    Player player(l.link);
    ASSERT_EQ(player.initScreen(one, 0, Buffer::VideoMode, false), Player::Ready);
    EXPECT_EQ(player.burst(), c.burst);
    ASSERT_TRUE(player.frameRequest(8));
    const std::uint32_t slots = 2 * c.burst;
    EXPECT_EQ(l.driver.fresh().size(), slots - slots / 101);
    // Credit for a burst of requests: the next one sends nothing.
    ASSERT_TRUE(player.frameRequest(8));
    EXPECT_TRUE(l.driver.fresh().empty());
  }
}

TEST(PlayerTest, ABurstLeavesInOneWriteWithTheBytesOfItsFrames) {
  // Pace 2: bursts of four frames, eight at the first request.
  Link l;
  l.announce(2, 918);
  l.driver.keepBytes();
  Player player(l.link);
  ASSERT_EQ(player.initScreen(row(6, TypeQuadra), 0, Buffer::VideoMode, false), Player::Ready);
  const std::size_t length = player.buffer().frameLength();
  std::vector<std::uint8_t> picture(player.buffer().frameCount() * length);
  ASSERT_EQ(player.copyFrames(picture.data(), picture.size()), picture.size());
  const std::size_t count = player.buffer().frameCount();
  ASSERT_TRUE(player.frameRequest(0));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(player.frameRequest(0));  // four more bursts

  // Each frame as a lone send would have written it, one after the other,
  // through the picture's frames from the one the cycle starts at.
  const Bytes wire = l.driver.bytes();
  ASSERT_GE(wire.size(), 4 + length);
  std::size_t first = 0;
  while (first < count && !std::equal(wire.begin() + 4, wire.begin() + 4 + long(length),
                                      picture.begin() + long(first * length)))
    ++first;
  ASSERT_LT(first, count);
  Bytes expected;
  for (std::size_t i = 0; i < 24; ++i) {
    const std::uint16_t type = i == 0 ? Frame::Pixels : Frame::Stream;
    expected.insert(expected.end(), {std::uint8_t(type), std::uint8_t(type >> 8),
                                     std::uint8_t(length), std::uint8_t(length >> 8)});
    const std::uint8_t* payload = picture.data() + ((first + i) % count) * length;
    expected.insert(expected.end(), payload, payload + length);
  }
  EXPECT_EQ(wire, expected);
  EXPECT_EQ(l.driver.writes(), 5);
  EXPECT_EQ(player.counters().framesSent, 24u);
}

TEST(PlayerTest, TheStartMarkerGoesWithTheFirstFrameThatLeaves) {
  // Slot 101 of the player's life is the first of the second playback here.
  Link l;
  l.announce(0, 918);
  Player player(l.link);
  const Topology one = relayWithTile(TypeQuadra);
  ASSERT_EQ(player.initScreen(one, 0, Buffer::VideoMode, false), Player::Ready);
  ASSERT_TRUE(player.frameRequest(0));  // slots 1 and 2
  for (int i = 0; i < 98; ++i) ASSERT_TRUE(player.frameRequest(0));
  ASSERT_EQ(l.driver.fresh().size(), 100u);
  {
    Loop loop(player);  // a stop that the loop sees ends this playback
    player.stop();
    ASSERT_TRUE(loop.waitEnded());
  }
  ASSERT_EQ(player.initScreen(one, 0, Buffer::VideoMode, false), Player::Ready);
  Loop loop(player);
  ASSERT_TRUE(prime(l, player));
  const std::vector<FrameLog::Sent> sent = l.driver.fresh();
  ASSERT_GE(sent.size(), 1u);  // slot 101 skipped, slot 102 sent
  EXPECT_EQ(sent[0].type, 5);
  for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].type, 0);
  EXPECT_EQ(player.counters().slotsSkipped, 1u);
}

// A picture taken at slot 100 loses frame 2 to slot 101. With a next
// picture waiting at its cycle end, that frame alone goes again first; with
// none, the cycle repeats in order.
TEST(PlayerTest, AFrameLeftOutIsSentOnceMoreBeforeTheNextPicture) {
  Link l;
  l.announce(0, 918);  // one slot per request after the first two
  Player player(l.link);
  ASSERT_EQ(player.initScreen(row(12, TypeQuadra), 0, Buffer::VideoMode, false), Player::Ready);
  ASSERT_EQ(player.buffer().frameCount(), 5u);
  for (int i = 0; i < 98; ++i) ASSERT_TRUE(player.frameRequest(0));  // slots 1 to 99
  const std::vector<std::uint8_t> image(4u * 200 * 200, 7);
  ASSERT_TRUE(player.addImage(image.data(), static_cast<unsigned>(image.size()), Data::RGB));
  EXPECT_EQ(player.taken(), 0u);
  l.driver.fresh();
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(player.frameRequest(0));  // slots 100 to 110
  std::vector<unsigned> numbers;
  for (const FrameLog::Sent& s : l.driver.fresh()) numbers.push_back(s.number);
  EXPECT_EQ(numbers, (std::vector<unsigned>{1, 3, 4, 5, 1, 2, 3, 4, 5, 1}));
  EXPECT_EQ(player.taken(), 1u);
  EXPECT_EQ(player.added(), 1u);

  for (int i = 0; i < 80; ++i) ASSERT_TRUE(player.frameRequest(0));  // to slot 190, frame 1
  ASSERT_TRUE(player.addImage(image.data(), static_cast<unsigned>(image.size()), Data::RGB));
  l.driver.fresh();
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(player.frameRequest(0));  // slots 191 to 201
  numbers.clear();
  for (const FrameLog::Sent& s : l.driver.fresh()) numbers.push_back(s.number);
  // Slot 202 has not come, so nothing of this picture was left out: it
  // hands over at once.
  EXPECT_EQ(numbers, (std::vector<unsigned>{2, 3, 4, 5, 1, 2, 3, 4, 5, 1, 2}));
  EXPECT_EQ(player.taken(), 2u);
}

// A left-out frame of a picture that a waiting picture follows goes again
// before the hand-over.
TEST(PlayerTest, ALeftOutFrameGoesBeforeTheWaitingPicture) {
  Link l;
  l.announce(0, 918);
  Player player(l.link);
  ASSERT_EQ(player.initScreen(row(12, TypeQuadra), 0, Buffer::VideoMode, false), Player::Ready);
  for (int i = 0; i < 98; ++i) ASSERT_TRUE(player.frameRequest(0));  // slots 1 to 99
  const std::vector<std::uint8_t> image(4u * 200 * 200, 7);
  ASSERT_TRUE(player.addImage(image.data(), static_cast<unsigned>(image.size()), Data::RGB));
  l.driver.fresh();
  ASSERT_TRUE(player.frameRequest(0));  // slot 100 takes picture 1
  ASSERT_TRUE(player.addImage(image.data(), static_cast<unsigned>(image.size()), Data::RGB));
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(player.frameRequest(0));  // slots 101 to 106
  std::vector<unsigned> numbers;
  for (const FrameLog::Sent& s : l.driver.fresh()) numbers.push_back(s.number);
  EXPECT_EQ(numbers, (std::vector<unsigned>{1, 3, 4, 5, 2, 1}));
  EXPECT_EQ(player.taken(), 2u);
}

TEST(PlayerTest, ImagesAreHandedOverAtCycleEnds) {
  Link l;
  l.announce(0, 918);  // one slot per request after the first two
  Player player(l.link);
  const auto add = [&](std::uint8_t v) {
    const auto image = flat(v);
    return player.addImage(image.data(), static_cast<unsigned>(image.size()), Data::RGB);
  };
  const auto leds = [&] {
    std::vector<unsigned> out;
    for (const FrameLog::Sent& s : l.driver.fresh()) out.push_back(s.led);
    return out;
  };
  EXPECT_FALSE(add(9));  // before any set-up: nothing to write into

  // One frame per picture: every slot ends a cycle.
  ASSERT_EQ(player.initScreen(relayWithTile(TypeQuadra), 0, Buffer::VideoMode, false),
            Player::Ready);
  ASSERT_TRUE(add(1));
  ASSERT_TRUE(add(2));  // the next slot is the one being sent: 2 is kept
  ASSERT_TRUE(player.frameRequest(0));
  EXPECT_EQ(leds(), (std::vector<unsigned>{1, 2}));  // 1, then the kept 2 is taken
  ASSERT_TRUE(add(3));
  ASSERT_TRUE(player.frameRequest(0));
  ASSERT_TRUE(player.frameRequest(0));
  EXPECT_EQ(leds(), (std::vector<unsigned>{3, 3}));  // slower than the relay: repeats
  EXPECT_EQ(player.counters().imagesDropped, 0u);

  // Faster than the relay: the first image after a cycle end goes next; the
  // ones behind it overwrite one another until the sender moves on.
  for (std::uint8_t v = 4; v <= 7; ++v) ASSERT_TRUE(add(v));
  EXPECT_EQ(player.counters().imagesDropped, 2u);  // 5 and 6
  ASSERT_TRUE(player.frameRequest(0));
  ASSERT_TRUE(add(8));  // 7 goes too
  ASSERT_TRUE(player.frameRequest(0));
  ASSERT_TRUE(player.frameRequest(0));
  EXPECT_EQ(leds(), (std::vector<unsigned>{4, 8, 8}));
  EXPECT_EQ(player.counters().imagesDropped, 3u);
  // The last of a quick pair is shown too, one cycle after the first.
  ASSERT_TRUE(add(9));
  ASSERT_TRUE(add(10));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(player.frameRequest(0));
  EXPECT_EQ(leds(), (std::vector<unsigned>{9, 10, 10}));

  // With several frames per picture a new image waits for the cycle's end.
  Player other(l.link);
  ASSERT_EQ(other.initScreen(row(12, TypeQuadra), 0, Buffer::VideoMode, false), Player::Ready);
  std::vector<std::uint8_t> wide(4u * other.buffer().width() * other.buffer().height(), 6);
  ASSERT_TRUE(other.frameRequest(0));  // frames 2, 3 of the empty picture
  ASSERT_TRUE(other.addImage(wide.data(), static_cast<unsigned>(wide.size()), Data::RGB));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(other.frameRequest(0));
  std::vector<unsigned> numbers, firstLeds;
  for (const FrameLog::Sent& s : l.driver.fresh()) {
    numbers.push_back(s.number);
    firstLeds.push_back(s.led);
  }
  EXPECT_EQ(numbers, (std::vector<unsigned>{2, 3, 4, 5, 1, 2}));
  EXPECT_EQ(firstLeds, (std::vector<unsigned>{0, 0, 0, 0, 6, 6}));
}

TEST(PlayerTest, SetUpReadsTheLinkAndRefusesWhatCannotBePlayed) {
  Link l;
  l.announce(3, 1200);
  Player player(l.link);
  Topology noRelay;
  noRelay.newModule(TypeQuadra, 1);
  Topology noSecond;
  noSecond.newModule(TypeRelay, 0);
  join(noSecond, 0, 0, 2, 0, TypeQuadra);
  Player::Screen screen;
  EXPECT_EQ(player.initScreen(noRelay, 0, Buffer::VideoMode, false), Player::NoRelay);
  EXPECT_EQ(player.measure(noRelay, 0, Buffer::VideoMode, screen), Player::NoRelay);
  EXPECT_EQ(player.initScreen(noSecond, 0, Buffer::VideoMode, false), Player::NoSecondModule);
  EXPECT_EQ(player.measure(noSecond, 0, Buffer::VideoMode, screen), Player::NoSecondModule);
  EXPECT_FALSE(player.playing());

  ASSERT_EQ(player.initScreen(lShape(), 90, Buffer::MaskMode, true), Player::Ready);
  EXPECT_EQ(player.buffer().frameLength(), 1200u);
  EXPECT_EQ(player.burst(), 6u);
  EXPECT_EQ(player.recordSize(), 10u);  // relay 0 and quadrav2 4 sensors
  EXPECT_EQ(player.sensorCount(), 36u);
  EXPECT_EQ(player.initScreen(lShape(), 0, Buffer::MaskMode, true), Player::Busy);

  ASSERT_EQ(player.measure(lShape(), 0, Buffer::VideoMode, screen), Player::Ready);
  EXPECT_EQ(screen.width, 30u);
  EXPECT_EQ(screen.height, 30u);
  EXPECT_EQ(screen.rows, 6u);
  EXPECT_EQ(screen.columns, 6u);
  EXPECT_EQ(screen.frames, 2u);  // 300-byte slots, 3 in 1200 bytes, 6 modules
  ASSERT_EQ(player.measure(row(2, TypeQuadra), 90, Buffer::MaskMode, screen), Player::Ready);
  EXPECT_EQ(screen.width, 10u);  // turned: the row stands upright
  EXPECT_EQ(screen.height, 20u);
  EXPECT_EQ(screen.rows * screen.columns, 0u);
  EXPECT_EQ(screen.frames, 1u);
}

// getScreen counts the frames without building them: the count must be
// the one a set-up then lays out.
TEST(PlayerTest, TheScreenCountsTheFramesASetUpBuilds) {
  for (std::uint16_t packet : {3, 40, 918, 1200, 65535}) {
    for (Buffer::Mode mode : {Buffer::MaskMode, Buffer::RgbMode, Buffer::VideoMode}) {
      Link l;
      l.announce(1, packet);
      Player player(l.link);
      Player::Screen screen;
      ASSERT_EQ(player.measure(lShape(), 90, mode, screen), Player::Ready);
      ASSERT_EQ(player.initScreen(lShape(), 90, mode, false), Player::Ready);
      EXPECT_EQ(screen.frames, player.buffer().frameCount()) << packet << " " << mode;
    }
  }
}

TEST(PlayerTest, ModeAndFormatNamesAreComparedExactly) {
  const std::pair<const char*, Buffer::Mode> modes[] = {
      {"mask", Buffer::MaskMode}, {"video", Buffer::VideoMode}, {"rgb", Buffer::RgbMode},
      {"Mask", Buffer::RgbMode},  {"VIDEO", Buffer::RgbMode},   {"", Buffer::RgbMode},
      {"mask ", Buffer::RgbMode}};
  for (const auto& [name, mode] : modes) EXPECT_EQ(Player::modeFromName(name), mode) << name;
  EXPECT_EQ(Player::formatFromName("BGR"), Data::BGR);
  EXPECT_EQ(Player::formatFromName("bgr"), Data::RGB);
  EXPECT_EQ(Player::formatFromName("RGB"), Data::RGB);
}

// A data frame of sensor records: each is {module, values...}.
Bytes records(const std::vector<std::vector<std::uint16_t>>& list, std::size_t extra = 0) {
  Bytes payload;
  for (const auto& r : list) {
    for (std::uint16_t v : r) {
      payload.push_back(static_cast<unsigned char>(v));
      payload.push_back(static_cast<unsigned char>(v >> 8));
    }
  }
  payload.resize(payload.size() + extra, 0xEE);
  return frame(2, payload);
}

struct SensorCase {
  Link l;
  Player player{l.link};
  std::unique_ptr<Loop> loop;
  std::uint64_t answered = 1;

  explicit SensorCase(const Topology& t, bool sensors = true) {
    EXPECT_EQ(player.initScreen(t, 0, Buffer::VideoMode, sensors), Player::Ready);
    loop = std::make_unique<Loop>(player);
    EXPECT_TRUE(prime(l, player));
    answered = player.counters().statusEvents;
  }
  // Sends the data frames and waits until the loop has read past them.
  std::vector<std::uint16_t> after(const std::vector<Bytes>& frames, std::size_t size = 0) {
    for (const Bytes& f : frames) l.driver.feed(f);
    l.driver.feed(l.status());
    ++answered;
    EXPECT_TRUE(eventually([&] { return player.counters().statusEvents >= answered; }));
    std::vector<std::uint16_t> values(size == 0 ? player.sensorCount() : size, 0xBEEF);
    player.getSensors(values.data(), values.size());
    return values;
  }
};

TEST(PlayerTest, SensorRecordsLandAtTheirGridCells) {
  // One quadrav2 tile: records of 10 bytes, grid cells 0 to 3 (of an array
  // of two modules x four sensors).
  SensorCase one(relayWithTile(TypeQuadraV2));
  ASSERT_EQ(one.player.sensorCount(), 8u);
  using V = std::vector<std::uint16_t>;
  // 25 bytes hold two records and a piece of a third.
  EXPECT_EQ(one.after({records({{0, 9, 9, 9, 9}, {1, 10, 11, 12, 13}}, 5)}, 4),
            (V{10, 11, 12, 13}));
  // Shorter than a record: ignored; in order again from module 0.
  EXPECT_EQ(one.after({records({{0, 1}}), records({{0, 0, 0, 0, 0}, {1, 20, 21, 22, 23}})}, 4),
            (V{20, 21, 22, 23}));
  // A short array takes what fits; a long one keeps its tail.
  EXPECT_EQ(one.after({}, 2), (V{20, 21}));
  EXPECT_EQ(one.after({}, 10), (V{20, 21, 22, 23, 0, 0, 0, 0, 0xBEEF, 0xBEEF}));

  // The L: tile 5 sits in grid cells 28, 29, 34 and 35, past 6 x 4.
  SensorCase l(lShape());
  ASSERT_EQ(l.player.sensorCount(), 36u);
  std::vector<std::uint16_t> values = l.after({records({{0, 0, 0, 0, 0},
                                                        {1, 1, 1, 1, 1},
                                                        {2, 2, 2, 2, 2},
                                                        {4, 4, 4, 4, 4},  // out of order: stop
                                                        {3, 3, 3, 3, 3}}),
                                               records({{3, 3, 3, 3, 3}, {4, 4, 4, 4, 4}}),
                                               records({{2, 7, 7, 7, 7}}),  // 5 is expected
                                               records({{5, 50, 51, 52, 53}, {0, 0, 0, 0, 0}})});
  EXPECT_EQ(values[0], 1);  // tile 1: cells 0, 1, 6, 7
  EXPECT_EQ(values[7], 1);
  EXPECT_EQ(values[2], 2);
  EXPECT_EQ(values[4], 3);  // tile 3 got its record from the second event
  EXPECT_EQ(values[16], 4);
  EXPECT_EQ((V{values[28], values[29], values[34], values[35]}), (V{50, 51, 52, 53}));
  EXPECT_EQ(values[2], 2);  // not 7
  // After the last module the count starts again at 0 within the event.
  values = l.after({records({{0, 0, 0, 0, 0}, {1, 8, 8, 8, 8}})});
  EXPECT_EQ(values[0], 8);
  // Stuck after a misplaced record, the reading takes up the next sweep
  // that begins at module 0.
  values = l.after({records({{2, 0, 0, 0, 0}, {4, 0, 0, 0, 0}}), records({{9, 0, 0, 0, 0}}),
                    records({{0, 0, 0, 0, 0}, {1, 9, 9, 9, 9}})});
  EXPECT_EQ(values[0], 9);
  values = l.after({records({{0, 0, 0, 0, 0}, {3, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {1, 6, 6, 6, 6}})});
  EXPECT_EQ(values[0], 9);  // a misplaced record still ends its event

  // Sensors off: data frames change nothing.
  SensorCase off(relayWithTile(TypeQuadraV2), false);
  EXPECT_EQ(off.after({records({{0, 0, 0, 0, 0}, {1, 5, 5, 5, 5}})}, 4), (V{0, 0, 0, 0}));
}

TEST(PlayerTest, RecordsThatPointOutsideTheLayoutAreDropped) {
  // Module 1 is a lone "varna" (6 sensors per record) the walk never
  // reaches; module 2 a quadrav2 behind the relay; module 3 is unreachable
  // too, so it has no layout row.
  Topology t;
  t.newModule(TypeRelay, 0);
  t.newModule(TypeVarna, 1);
  join(t, 0, 0, 2, 0, TypeQuadraV2);
  t.newModule(TypeQuadraV2, 3);
  SensorCase c(t);
  ASSERT_EQ(c.player.recordSize(), 14u);
  ASSERT_EQ(c.player.sensorCount(), 12u);  // layout rows 0 to 2, of four
  // A reader copies while the loop writes: every value it sees is whole.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<std::uint16_t> copy(12);
    bool whole = true;
    while (!done && whole) {
      c.player.getSensors(copy.data(), copy.size());
      for (std::uint16_t v : copy) whole = whole && (v >> 8) == (v & 0xff);
    }
    EXPECT_TRUE(whole);
  });
  const std::vector<std::uint16_t> values =
      c.after({records({{0, 0, 0, 0, 0, 0, 0},
                        {1, 0x0101, 0x0101, 0x0101, 0x0101, 0x0101, 0x0101},
                        {2, 0x0202, 0x0303, 0x0404, 0x0505, 0x0606, 0x0707},
                        {3, 0x0909, 0x0909, 0x0909, 0x0909, 0x0909, 0x0909}})});
  done = true;
  reader.join();
  EXPECT_EQ(values,
            (std::vector<std::uint16_t>{0x0202, 0x0303, 0x0404, 0x0505, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(PlayerTest, APlaybackEndsOnStopCloseSilenceOrAFailedSend) {
  const Topology one = relayWithTile(TypeQuadra);
  {
    // A stop while idle leaves nothing for the next playback to trip on.
    Link l;
    Player player(l.link);
    player.stop();
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    EXPECT_TRUE(player.playing());
    {
      Loop loop(player);
      ASSERT_TRUE(prime(l, player));
      l.driver.feed(l.status());
      ASSERT_TRUE(eventually([&] { return player.counters().statusEvents >= 2; }));
      EXPECT_FALSE(loop.ended);
      player.stop();
      ASSERT_TRUE(loop.waitEnded());
    }
    EXPECT_FALSE(player.playing());
    player.stop();  // after the end: the same as idle
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    Loop loop(player);
    ASSERT_TRUE(prime(l, player));
    EXPECT_FALSE(loop.ended);
    // A stop between the set-up and the loop's first step still ends it.
    player.stop();
    ASSERT_TRUE(loop.waitEnded());
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    player.stop();
    Loop early(player);
    ASSERT_TRUE(early.waitEnded());
  }
  {
    Link l;
    Player player(l.link);
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    Loop loop(player);
    ASSERT_TRUE(prime(l, player));
    l.driver.peerClose();  // the link ends: its Closed event ends the loop
    ASSERT_TRUE(loop.waitEnded());
  }
  {
    Link l;
    Player player(l.link, Player::Timing{30});
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    Loop loop(player);
    ASSERT_TRUE(loop.waitEnded(2s));  // nothing comes: the wait runs out
  }
  {
    Link l;
    Player player(l.link);
    ASSERT_EQ(player.initScreen(one, 0, Buffer::RgbMode, false), Player::Ready);
    l.driver.fail();
    Loop loop(player);
    for (int i = 0; i < 200 && !loop.ended; ++i) {
      l.driver.feed(l.status());
      loop.waitEnded(20ms);
    }
    EXPECT_TRUE(loop.ended);
    EXPECT_EQ(player.counters().framesSent, 0u);
  }
}

}  // namespace
}  // namespace lc
