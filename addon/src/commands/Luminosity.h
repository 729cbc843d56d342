#pragma once

#include "commands/Command.h"

namespace lc {

// Sets the LEDs' luminosity; the relay's reaction is not watched.
class Luminosity : public Command {
 public:
  static constexpr uint8_t kLuminosityCode = 4;
  static constexpr unsigned int kMaxLevel = 255;

  explicit Luminosity(Communication& communication, Timing timing = {});

  // True when the frame was sent; levels above 255 are sent as 255.
  bool changeTo(unsigned int level);
};

}  // namespace lc
