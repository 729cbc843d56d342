#pragma once

#include "commands/Command.h"

namespace lc {

// Resets the relay and watches it go: a status with state word 0 or the end
// of the link within the bound.
class Reset : public Command {
 public:
  enum ResetType : unsigned int { Standard = 0, Fallback = 1, Alternate = 2 };

  static constexpr uint8_t kStandardCode = 1;
  static constexpr uint8_t kFallbackCode = 5;
  static constexpr uint8_t kAlternateCode = 6;

  explicit Reset(Communication& communication, Timing timing = {});

  // The command code of a reset type; any unknown value is a fallback.
  static uint8_t code(ResetType type);

  // True when the relay was seen to reset.
  bool reset(ResetType type, unsigned char argument);

 private:
  bool fail() const;
};

}  // namespace lc
