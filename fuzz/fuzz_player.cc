// Plays to a relay whose stream, after the first status frame, is arbitrary
// bytes: sensor records of any length and module order, status frames of any
// pace and packet size, close frames. The installation (tile model, chain
// length, angle, mode, sensors on or off) and one image come from the input
// too. Nothing may read or write out of bounds, the loop must end when the
// stream does, and the sensor grid keeps its size.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "link/Communication.h"
#include "link/Frame.h"
#include "player/Player.h"
#include "topology/ModuleType.h"
#include "topology/Topology.h"

namespace {

// Serves status frames until the player has answered one (it only hears
// what arrives after its loop began), then the input, then reports the peer
// gone.
class PrimedDriver : public lcfuzz::InputDriver {
 public:
  PrimedDriver(const uint8_t* data, size_t size) : InputDriver(data, size) {}
  std::atomic<bool> primed{false};

  bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) override {
    received = 0;
    if (!primed.load()) {
      static const unsigned char status[] = {0, 0, 4, 0, 1, 0, 1, 0};
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      std::memcpy(buffer, status, sizeof status);
      received = sizeof status;
      return true;
    }
    return InputDriver::readSome(buffer, maximum, received);
  }
};

// A relay and a chain of `count` tiles, each joined on the channel the
// input chose to the one before it.
lc::Topology chain(lc::ModuleType tile, uint32_t count, const uint8_t* channels) {
  lc::Topology topology;
  topology.newModule(lc::TypeRelay, 0);
  const uint32_t tileChannels = lc::channelCount(tile);
  for (uint32_t id = 1; id <= count; ++id) {
    const uint32_t parent = id - 1;
    const uint32_t out = parent == 0 ? 0 : channels[id - 1] % tileChannels;
    const uint32_t in = channels[id - 1] / 16 % tileChannels;
    topology.addNeighbour(parent, out, tile, id, true);
    topology.addNeighbour(id, in, parent == 0 ? lc::ModuleType{lc::TypeRelay} : tile, parent,
                          false);
  }
  return topology;
}

}  // namespace

// Input: tile model, sensors flag and mode; chain length; angle; 8 channel
// bytes (low nibble: the parent's channel, high: the tile's); image length
// (u16); the image; then the relay's stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lcfuzz::quietLog();
  if (size < 13) return 0;
  static const lc::ModuleType tiles[] = {lc::TypeDelta, lc::TypeQuadra, lc::TypeQuadraV2,
                                         lc::TypeVarna};
  const lc::ModuleType tile = tiles[data[0] & 3];
  const bool sensors = (data[0] & 4) != 0;
  const lc::Buffer::Mode mode = static_cast<lc::Buffer::Mode>((data[0] >> 3) % 3);
  const uint32_t count = 1 + data[1] % 8;
  const unsigned angle = data[2] * 360u / 256u;
  const uint8_t* channels = data + 3;  // one byte per tile
  size_t imageLength = size_t(data[11]) | size_t(data[12]) << 8;
  data += 13;
  size -= 13;
  if (imageLength > size) imageLength = size;
  const uint8_t* image = data;
  data += imageLength;
  size -= imageLength;

  PrimedDriver driver(data, size);
  lc::Communication link;
  link.setDriver(&driver);
  {
    lc::Player::Timing timing;
    timing.eventTimeoutMs = 200;
    lc::Player player(link, timing);
    const lc::Topology topology = chain(tile, count, channels);
    if (player.initScreen(topology, angle, mode, sensors) != lc::Player::Ready) return 0;
    const size_t grid = player.sensorCount();
    player.addImage(image, unsigned(imageLength),
                    (imageLength & 1) ? lc::Data::BGR : lc::Data::RGB);

    std::atomic<bool> ended{false};
    std::thread loop([&] {
      while (player.run()) {
      }
      ended = true;
    });
    if (!link.start()) std::abort();
    while (!ended.load() && player.counters().statusEvents == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    driver.primed = true;
    link.join();  // the input runs out
    loop.join();  // the link's end ends the loop, or the silence bound does
    if (player.sensorCount() != grid) std::abort();
    std::vector<uint16_t> out(grid + 1, 0xABCD);
    if (player.getSensors(out.data(), out.size()) != grid || out[grid] != 0xABCD) std::abort();
  }
  return 0;
}
