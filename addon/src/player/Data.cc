#include "player/Data.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "player/PixelWords.h"

namespace lc {

namespace pixel {

namespace {
std::atomic<bool> vectorsAllowed{true};
}  // namespace

bool vectorKernels() {
#if defined(__SSE2__)
  static const bool present = __builtin_cpu_supports("sse2");
  return present && vectorsAllowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

bool byteShuffles() {
#if LC_PIXEL_SHUFFLES
  static const bool present = __builtin_cpu_supports("ssse3");
  return present && vectorsAllowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

bool wideKernels() {
#if LC_PIXEL_WIDE
  static const bool present = __builtin_cpu_supports("avx512f") &&
                              __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
  return present && vectorsAllowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

void allowVectorKernels(bool allowed) { vectorsAllowed.store(allowed, std::memory_order_relaxed); }

}  // namespace pixel

void Data::layoutOf(std::size_t moduleCount, std::uint32_t slotSize, std::uint32_t frameLength,
                    std::uint32_t& modulesPerFrame, std::size_t& frameCount) {
  modulesPerFrame = 0;
  frameCount = 0;
  if (moduleCount == 0) return;
  const std::uint32_t length = std::min(frameLength, kMaxFrameLength);
  const std::uint32_t slot = slotSize == 0 ? 1 : slotSize;
  // A frame too short for the number and one slot carries no module: it is
  // still made (the cycle has one frame), but nothing is placed in it.
  if (length >= kHeaderLength + slot) modulesPerFrame = (length - kHeaderLength) / slot;
  frameCount = modulesPerFrame == 0 ? 1 : (moduleCount + modulesPerFrame - 1) / modulesPerFrame;
  // Records keep 32-bit offsets into the block; an installation that would
  // need more (millions of modules) gets one empty frame instead.
  if (static_cast<std::uint64_t>(frameCount) * length > 0xffffffffull) {
    modulesPerFrame = 0;
    frameCount = 1;
  }
}

std::size_t Data::framesFor(std::size_t moduleCount, std::uint32_t slotSize,
                            std::uint32_t frameLength) {
  std::uint32_t modulesPerFrame = 0;
  std::size_t frameCount = 0;
  layoutOf(moduleCount, slotSize, frameLength, modulesPerFrame, frameCount);
  return frameCount;
}

void Data::layoutFrames(std::size_t moduleCount, std::uint32_t frameLength) {
  // Free the old frames first: no record may outlive the block it points in.
  bytes_.clear();
  bytes_.shrink_to_fit();
  frameLength_ = std::min(frameLength, kMaxFrameLength);
  layoutOf(moduleCount, slotSize_, frameLength, modulesPerFrame_, frameCount_);
  if (frameCount_ == 0) return;
  bytes_.assign(frameCount_ * frameLength_, 0);
  if (frameLength_ < kHeaderLength) return;
  for (std::size_t q = 0; q < frameCount_; ++q) {
    const std::size_t number = q + 1;
    bytes_[q * frameLength_] = static_cast<std::uint8_t>(number & 0xff);
    bytes_[q * frameLength_ + 1] = static_cast<std::uint8_t>((number >> 8) & 0xff);
  }
}

void Data::SourceTable::clear(std::uint32_t rowBytes) {
  storage_ = std::make_shared<Storage>();
  storage_->rowBytes = rowBytes;
  refresh();
}

void Data::SourceTable::refresh() {
  runs = {storage_->runs.data(), storage_->runs.size()};
  stretches = {storage_->stretches.data(), storage_->stretches.size()};
  sources = {storage_->sources.data(), storage_->sources.size()};
}

void Data::SourceTable::finish() {
  Storage& st = *storage_;
  for (std::vector<std::uint32_t>* scratch : {&st.last, &st.lastRows, &st.rows}) {
    std::vector<std::uint32_t>().swap(*scratch);
  }
  // Built by pushing, so a third or so of each is spare room.
  st.runs.shrink_to_fit();
  st.stretches.shrink_to_fit();
  st.sources.shrink_to_fit();
  refresh();
}

void Data::SourceTable::add(const ModuleLeds& m) {
  std::uint32_t k = 0;
  while (k < m.count) {
    if (m.source[k] == kNoSource) {
      ++k;
      continue;
    }
    std::uint32_t end = k + 1;
    while (end < m.count && m.source[end] != kNoSource) ++end;
    addRun(m.slot, k, m.source + k, end - k);
    k = end;
  }
}

namespace {

// A row shorter than this costs more as a stretch than as offsets.
constexpr std::uint32_t kMinRow = 3;

// The offsets of a run and the image row of each: whether the move from
// LED b0 to b1 is the same as from a0 to a1, the same offset difference and
// the same number of rows. Equal offset differences alone could pair a move
// right with a move a row down and left, which only holds for one row
// width; a pattern kept this way holds for any, so the table can be
// rewritten for a wider picture. The rows are worked out once per LED, not
// by two divisions per comparison.
struct Offsets {
  const std::uint32_t* s;
  const std::uint32_t* row;

  bool sameMove(std::uint32_t a0, std::uint32_t a1, std::uint32_t b0, std::uint32_t b1) const {
    return static_cast<std::int64_t>(s[a1]) - s[a0] == static_cast<std::int64_t>(s[b1]) - s[b0] &&
           static_cast<std::int64_t>(row[a1]) - row[a0] ==
               static_cast<std::int64_t>(row[b1]) - row[b0];
  }
  // Whether the n LEDs from `at` make the same move as first -> first + 1 each.
  bool isRow(std::uint32_t at, std::uint32_t n, std::uint32_t first) const {
    for (std::uint32_t j = 1; j < n; ++j) {
      if (!sameMove(first, first + 1, at + j - 1, at + j)) return false;
    }
    return true;
  }
};

// The step from s[0] to s[1] when it fits a stretch's signed 32 bits.
bool stepOf(const std::uint32_t* s, std::int32_t& step) {
  const std::int64_t d = static_cast<std::int64_t>(s[1]) - s[0];
  if (d < INT32_MIN || d > INT32_MAX) return false;
  step = static_cast<std::int32_t>(d);
  return true;
}

// Offset p of an image with rows `from` bytes apart, for rows `to` apart.
std::uint32_t moved(std::uint32_t p, std::uint32_t from, std::uint32_t to, std::uint32_t far) {
  if (p >= far) return p;
  const std::uint64_t q = static_cast<std::uint64_t>(p / from) * to + p % from;
  return q >= far ? far : static_cast<std::uint32_t>(q);
}

}  // namespace

bool Data::SourceTable::repeatsLast(const std::uint32_t* s, std::uint32_t n,
                                    std::uint32_t& rowMove) const {
  const Storage& st = *storage_;
  if (st.runs.empty() || st.last.size() != n) return false;
  // The same offset moves: every LED is as far from its counterpart as the
  // first. In 32 bits, with the sign apart, so that the loops have no
  // branch and no 64-bit lane.
  const std::uint32_t* p = st.last.data();
  const std::int64_t d = static_cast<std::int64_t>(s[0]) - p[0];
  const auto du = static_cast<std::uint32_t>(d);
  const std::uint32_t up = d >= 0 ? 1 : 0;
  std::uint32_t bad = 0;
  for (std::uint32_t k = 0; k < n; ++k) {
    bad |= (s[k] - p[k]) ^ du;
    bad |= static_cast<std::uint32_t>(s[k] >= p[k]) ^ up;
  }
  if (bad != 0) return false;
  const std::uint32_t rowBytes = st.rowBytes;
  if (rowBytes <= 1) {
    // Rows are 0, or the offsets themselves.
    rowMove = rowBytes == 0 ? 0 : du;
    return true;
  }
  // The same row moves: with d = q x rowBytes + r (0 <= r < rowBytes), an
  // offset's row moves by q, plus one where its column plus r passes the
  // row's end; that must happen for every LED or for none. Its column
  // comes from the last run's rows, without a division.
  std::int64_t q = d / rowBytes;
  std::int64_t r = d % rowBytes;
  if (r < 0) {
    r += rowBytes;
    --q;
  }
  const std::uint32_t* pr = st.lastRows.data();
  const auto limit = static_cast<std::uint32_t>(rowBytes - r);
  const std::uint32_t carry = (p[0] - pr[0] * rowBytes) >= limit ? 1 : 0;
  for (std::uint32_t k = 0; k < n; ++k) {
    bad |= static_cast<std::uint32_t>((p[k] - pr[k] * rowBytes) >= limit) ^ carry;
  }
  if (bad != 0) return false;
  rowMove = static_cast<std::uint32_t>(q + carry);
  return true;
}

void Data::SourceTable::addRun(std::uint32_t slot, std::uint32_t firstLed, const std::uint32_t* s,
                               std::uint32_t n) {
  Storage& st = *storage_;
  std::uint32_t maxSource = 0;
  for (std::uint32_t k = 0; k < n; ++k) maxSource = std::max(maxSource, s[k]);
  Run run{slot, firstLed, n, static_cast<std::uint32_t>(st.stretches.size()), 0, maxSource};

  // The stretches depend only on the moves from LED to LED, in offsets and
  // in rows: a run that makes the same moves as the one before, from
  // another start, gets that run's stretches moved by the same distance.
  std::uint32_t rowMove = 0;
  if (repeatsLast(s, n, rowMove)) {
    const std::uint32_t delta = s[0] - st.last[0];  // modulo 2^32: every moved offset is an offset
    const Run& before = st.runs.back();
    for (std::uint32_t j = before.firstStretch; j < before.endStretch; ++j) {
      Stretch copy = st.stretches[j];
      if (copy.irregular()) {
        const std::uint32_t from = copy.start;
        copy.start = static_cast<std::uint32_t>(st.sources.size());
        for (std::uint32_t i = 0; i < copy.count; ++i) {
          const std::uint32_t p = st.sources[from + i];
          st.sources.push_back(p + delta);
        }
      } else {
        copy.start += delta;
      }
      st.stretches.push_back(copy);
    }
    for (std::uint32_t& row : st.lastRows) row += rowMove;
  } else {
    std::vector<std::uint32_t>& rows = st.rows;
    rows.resize(n);
    const std::uint32_t rowBytes = st.rowBytes;
    if (rowBytes <= 1) {
      for (std::uint32_t k = 0; k < n; ++k) rows[k] = rowBytes == 0 ? 0 : s[k];
    } else {
      // Divided by a multiply: with this 64-bit reciprocal the quotient of
      // any 32-bit offset is exact, and a division per LED was most of it.
      const std::uint64_t reciprocal = ~std::uint64_t{0} / rowBytes + 1;
      for (std::uint32_t k = 0; k < n; ++k) {
        rows[k] =
            static_cast<std::uint32_t>((static_cast<unsigned __int128>(reciprocal) * s[k]) >> 64);
      }
    }
    addStretches(run, s, rows.data());
    st.lastRows.swap(rows);
  }
  run.endStretch = static_cast<std::uint32_t>(st.stretches.size());
  st.runs.push_back(run);
  st.last.assign(s, s + n);
}

void Data::SourceTable::addStretches(Run& run, const std::uint32_t* s, const std::uint32_t* rows) {
  std::vector<Stretch>& stretches = storage_->stretches;
  std::vector<std::uint32_t>& sources = storage_->sources;
  const std::uint32_t n = run.count;
  const Offsets at{s, rows};
  std::uint32_t i = 0;
  while (i < n) {
    // The longest row from i, then as many rows of that length after it as
    // start a constant distance apart.
    std::uint32_t c = 1;
    std::int32_t step = 0;
    if (n - i >= 2 && stepOf(s + i, step)) {
      c = 2;
      while (i + c < n && at.sameMove(i, i + 1, i + c - 1, i + c)) ++c;
    }
    if (c < kMinRow) {
      const bool extend = stretches.size() > run.firstStretch && stretches.back().irregular();
      if (extend) {
        ++stretches.back().count;
      } else {
        stretches.push_back(Stretch{static_cast<std::uint32_t>(sources.size()), 0, 0, 1, 0});
      }
      sources.push_back(s[i]);
      ++i;
      continue;
    }
    std::uint32_t rows = 1;
    std::int32_t rowStep = 0;
    if (n - i >= 2 * c) {
      const std::int64_t d = static_cast<std::int64_t>(s[i + c]) - s[i];
      if (d >= INT32_MIN && d <= INT32_MAX) {
        rowStep = static_cast<std::int32_t>(d);
        while (n - i >= (rows + 1) * c && at.sameMove(i, i + c, i + (rows - 1) * c, i + rows * c) &&
               at.isRow(i + rows * c, c, i)) {
          ++rows;
        }
      }
    }
    if (rows == 1) rowStep = 0;
    stretches.push_back(Stretch{s[i], step, rowStep, c, rows});
    i += rows * c;
  }
}

void Data::SourceTable::restride(std::uint32_t to) {
  Storage& table = *storage_;
  const std::uint32_t from = table.rowBytes;
  if (from == 0 || from == to) return;
  const std::uint32_t far = kUnreachable;
  const auto at = [&](std::uint32_t p) { return moved(p, from, to, far); };
  // Every stretch is one move repeated (sameMove), so its new steps are the
  // new distances between its first LEDs.
  for (Stretch& st : table.stretches) {
    if (st.irregular()) continue;
    const std::uint32_t start = at(st.start);
    if (st.count >= 2) {
      st.step = static_cast<std::int32_t>(
          static_cast<std::int64_t>(at(st.start + static_cast<std::uint32_t>(st.step))) - start);
    }
    if (st.rows >= 2) {
      st.rowStep = static_cast<std::int32_t>(static_cast<std::int64_t>(at(st.rowStart(1))) - start);
    }
    st.start = start;
  }
  for (std::uint32_t& p : table.sources) p = at(p);
  // Rows at least as far apart keep the offsets' order, so the largest
  // stays the largest.
  for (Run& run : table.runs) run.maxSource = at(run.maxSource);
  table.rowBytes = to;
}

void Data::setRowBytes(std::uint32_t rowBytes) {
  if (width_ == 0 || rowBytes < 4ull * width_) return;
  restrideTables(rowBytes);
}

}  // namespace lc
