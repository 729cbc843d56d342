#pragma once

#include "commands/Command.h"

namespace lc {

// Switches the application the tiles run, then watches for the relay's state
// word to move (the change is not confirmed: a relay that keeps its state
// still gives Done after the watch).
class Changer : public Command {
 public:
  enum Result : unsigned int { Done = 0, TimedOut = 1, Error = 2 };

  static constexpr uint8_t kChangeCode = 2;
  // The frame carries one byte: a larger number would switch to another
  // application.
  static constexpr unsigned int kMaxApplication = 255;

  explicit Changer(Communication& communication, Timing timing = {});

  // Blocks for the ready wait, the send, the watch and the pause.
  Result changeTo(unsigned int application);
};

}  // namespace lc
