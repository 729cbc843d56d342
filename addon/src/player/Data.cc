#include "player/Data.h"

#include <cmath>

namespace lc {

void Data::layoutFrames(std::size_t moduleCount, std::uint32_t frameLength) {
  // Free the old frames first: no record may outlive the block it points in.
  bytes_.clear();
  bytes_.shrink_to_fit();
  frameCount_ = 0;
  frameLength_ = std::min(frameLength, kMaxFrameLength);
  modulesPerFrame_ = 0;
  if (moduleCount == 0) return;

  // A frame too short for the number and one slot carries no module: it is
  // still made (the cycle has one frame), but nothing is placed in it.
  if (frameLength_ >= kHeaderLength + slotSize_) {
    modulesPerFrame_ = (frameLength_ - kHeaderLength) / slotSize_;
  }
  frameCount_ = modulesPerFrame_ == 0 ? 1 : (moduleCount + modulesPerFrame_ - 1) / modulesPerFrame_;
  // Records keep 32-bit offsets into the block; an installation that would
  // need more (millions of modules) gets one empty frame instead.
  if (static_cast<std::uint64_t>(frameCount_) * frameLength_ > 0xffffffffull) {
    modulesPerFrame_ = 0;
    frameCount_ = 1;
  }
  bytes_.assign(frameCount_ * frameLength_, 0);
  if (frameLength_ < kHeaderLength) return;
  for (std::size_t q = 0; q < frameCount_; ++q) {
    const std::size_t number = q + 1;
    bytes_[q * frameLength_] = static_cast<std::uint8_t>(number & 0xff);
    bytes_[q * frameLength_ + 1] = static_cast<std::uint8_t>((number >> 8) & 0xff);
  }
}

void Data::SourceTable::add(const Placement& p) {
  if (!runs.empty()) {
    Run& last = runs.back();
    if (last.slot == p.slot && last.firstLed + last.count == p.led) {
      ++last.count;
      last.maxSource = std::max(last.maxSource, p.source);
      sources.push_back(p.source);
      return;
    }
  }
  runs.push_back(Run{p.slot, p.led, 1, static_cast<std::uint32_t>(sources.size()), p.source});
  sources.push_back(p.source);
}

std::uint32_t Data::sourceOffset(float x, float y, std::uint32_t width) {
  // x and y are on the screen (non-negative), so truncation is a floor. The
  // offset is fixed by the width, so it is worked out once here instead of
  // for every image.
  const std::uint64_t col = static_cast<std::uint64_t>(std::trunc(x));
  const std::uint64_t row = static_cast<std::uint64_t>(std::trunc(y));
  const std::uint64_t p = 4 * (col + row * width);
  return p > kUnreachable ? kUnreachable : static_cast<std::uint32_t>(p);
}

}  // namespace lc
