#include "player/Correction.h"

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
    for (unsigned v = 0; v < 256; ++v) {
      const double out = 255.0 * gains[c] * std::pow(v / 255.0, gamma[c]);
      const double clamped = out < 0 ? 0 : (out > 255 ? 255 : out);
      tables_[c][v] = static_cast<std::uint8_t>(std::lround(clamped));
      if (tables_[c][v] != v) identity = false;
    }
  }
  identity_ = identity;
  return true;
}

}  // namespace lc
