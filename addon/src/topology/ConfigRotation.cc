#include "topology/ConfigRotation.h"

#include <array>

namespace lc {

namespace {

constexpr std::int8_t kDeltaChannels[6] = {2, 3, 4, 5, 0, 1};
constexpr std::int8_t kDeltaLeds[31] = {8,  7,  15, 14, 20, 19, 23, 22, 24, 6,  5,
                                        13, 12, 18, 17, 21, 4,  3,  11, 10, 16, 2,
                                        1,  9,  0,  27, 29, 30, 26, 28, 25};
constexpr std::int8_t kDeltaSensors[4] = {1, 2, 0, 3};
constexpr std::int8_t kDeltaOrientations[2] = {1, -1};

constexpr std::int8_t kSquareChannels[4] = {3, 0, 1, 2};
constexpr std::int8_t kQuadraV2Sensors[4] = {2, 0, 3, 1};
constexpr std::int8_t kVarnaLeds[4] = {3, 0, 1, 2};
constexpr std::int8_t kVarnaSensors[5] = {3, 0, 1, 2, 4};

// Turning a 10 x 10 grid by one step: LED (row, col) goes where
// (9 - col, row) was.
constexpr std::array<std::int8_t, 100> makeR100() {
  std::array<std::int8_t, 100> table{};
  for (int row = 0; row < 10; ++row) {
    for (int col = 0; col < 10; ++col) {
      table[10 * row + col] = static_cast<std::int8_t>(10 * (9 - col) + row);
    }
  }
  return table;
}
constexpr std::array<std::int8_t, 100> kR100 = makeR100();

}  // namespace

int ConfigRotationRelay::channels(std::uint32_t) { return 0; }
int ConfigRotationRelay::orientations(std::uint32_t) { return 1; }

int ConfigRotationDelta::channels(std::uint32_t i) { return kDeltaChannels[i]; }
int ConfigRotationDelta::leds(std::uint32_t i) { return kDeltaLeds[i]; }
int ConfigRotationDelta::sensors(std::uint32_t i) { return kDeltaSensors[i]; }
int ConfigRotationDelta::orientations(std::uint32_t i) { return kDeltaOrientations[i]; }

int ConfigRotationQuadra::channels(std::uint32_t i) { return kSquareChannels[i]; }
int ConfigRotationQuadra::leds(std::uint32_t i) { return kR100[i]; }
int ConfigRotationQuadra::orientations(std::uint32_t) { return 1; }

int ConfigRotationQuadraV2::channels(std::uint32_t i) { return kSquareChannels[i]; }
int ConfigRotationQuadraV2::leds(std::uint32_t i) { return kR100[i]; }
int ConfigRotationQuadraV2::sensors(std::uint32_t i) { return kQuadraV2Sensors[i]; }
int ConfigRotationQuadraV2::orientations(std::uint32_t) { return 1; }

int ConfigRotationVarna::channels(std::uint32_t i) { return kSquareChannels[i]; }
int ConfigRotationVarna::leds(std::uint32_t i) { return kVarnaLeds[i]; }
int ConfigRotationVarna::sensors(std::uint32_t i) { return kVarnaSensors[i]; }
int ConfigRotationVarna::orientations(std::uint32_t) { return 1; }

}  // namespace lc
