#include "player/Correction.h"

#include <algorithm>
#include <cmath>

namespace lc {

Correction::Correction() {
  for (auto& t : tables_) {
    for (unsigned v = 0; v < 256; ++v) t[v] = static_cast<std::uint8_t>(v);
  }
}

bool Correction::set(const std::array<double, 3>& gamma, const std::array<double, 3>& gains) {
  for (unsigned c = 0; c < 3; ++c) {
    // Written so that NaN fails every comparison and is refused.
    if (!(gamma[c] >= kMinGamma && gamma[c] <= kMaxGamma)) return false;
    if (!(gains[c] >= 0.0 && gains[c] <= kMaxGain)) return false;
  }
  bool identity = true;
  for (unsigned c = 0; c < 3; ++c) {
    unsigned dark = 0;
    for (unsigned v = 0; v < 256; ++v) {
      const double out = 255.0 * gains[c] * std::pow(v / 255.0, gamma[c]);
      const double clamped = out < 0 ? 0 : (out > 255 ? 255 : out);
      // Held at 0 for 0 and never below the value before, whatever pow()
      // rounds to: darkUpTo() relies on both.
      const long rounded = v == 0 ? 0 : std::max(std::lround(clamped), long{tables_[c][v - 1]});
      tables_[c][v] = static_cast<std::uint8_t>(rounded);
      if (tables_[c][v] != v) identity = false;
      if (tables_[c][v] == 0) dark = v;
    }
    darkUpTo_[c] = static_cast<std::uint8_t>(dark);
  }
  identity_ = identity;
  return true;
}

}  // namespace lc
