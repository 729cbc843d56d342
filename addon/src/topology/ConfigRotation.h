#pragma once

// Rotation tables of every module model: the index an element (channel, LED,
// sensor) takes after the module is turned by one rotation step, and the
// sign of each orientation. Callers keep the index below the table's length
// (see TileTables for the lengths); these operations do no range test.

#include <cstdint>

namespace lc {

struct ConfigRotationRelay {
  static int channels(std::uint32_t i);
  static int orientations(std::uint32_t i);
};

struct ConfigRotationDelta {
  static int channels(std::uint32_t i);
  static int leds(std::uint32_t i);
  static int sensors(std::uint32_t i);
  static int orientations(std::uint32_t i);
};

struct ConfigRotationQuadra {
  static int channels(std::uint32_t i);
  static int leds(std::uint32_t i);
  static int orientations(std::uint32_t i);
};

struct ConfigRotationQuadraV2 {
  static int channels(std::uint32_t i);
  static int leds(std::uint32_t i);
  static int sensors(std::uint32_t i);
  static int orientations(std::uint32_t i);
};

struct ConfigRotationVarna {
  static int channels(std::uint32_t i);
  static int leds(std::uint32_t i);
  static int sensors(std::uint32_t i);
  static int orientations(std::uint32_t i);
};

}  // namespace lc
