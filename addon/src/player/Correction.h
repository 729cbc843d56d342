#pragma once

// Colour correction of a playback: a power curve (gamma) and a gain per
// channel, as three lookup tables from an image byte to the byte sent. The
// tables are built once per playback, so the full-colour mapping corrects a
// value with one load and the one-bit mappings compare it with a bound; the
// default is the identity, which the mappings recognise and
// skip, so uncorrected bytes go out exactly as the image holds them.

#include <array>
#include <cstdint>

namespace lc {

class Correction {
 public:
  enum Channel : unsigned { Red = 0, Green = 1, Blue = 2 };
  // Exponents and gains a script may ask for; outside them a table is
  // either all 0 or all 255, which no user means.
  static constexpr double kMinGamma = 0.1;
  static constexpr double kMaxGamma = 10.0;
  static constexpr double kMaxGain = 16.0;

  // The identity.
  Correction();
  // out = round(255 x gain x (in / 255) ^ gamma), clamped to 0..255, per
  // channel. False (and the identity kept) when a value is out of range or
  // not a number.
  bool set(const std::array<double, 3>& gamma, const std::array<double, 3>& gains);

  bool identity() const { return identity_; }
  // Every table maps 0 to 0 and never falls, so a corrected value is
  // non-zero exactly when the image byte is above this bound: the one-bit
  // mappings compare with it instead of looking up each LED. 255 when the
  // channel never lights.
  std::uint8_t darkUpTo(Channel c) const { return darkUpTo_[c]; }
  const std::uint8_t* table(Channel c) const { return tables_[c].data(); }
  std::uint8_t apply(Channel c, std::uint8_t v) const { return tables_[c][v]; }

 private:
  std::array<std::array<std::uint8_t, 256>, 3> tables_;
  std::array<std::uint8_t, 3> darkUpTo_{};
  bool identity_ = true;
};

}  // namespace lc
