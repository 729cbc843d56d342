#include "firmware/Hex.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#include "util/FileReader.h"

namespace lc {

namespace {

constexpr uint8_t kNotDigit = 0xFF;

// Digit values of both cases; everything else maps to kNotDigit.
struct DigitTable {
  uint8_t value[256];
  constexpr DigitTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = kNotDigit;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
      value['a' + i] = static_cast<uint8_t>(10 + i);
      value['A' + i] = static_cast<uint8_t>(10 + i);
    }
  }
};
constexpr DigitTable kDigits;

// Decodes the digit pair at p; false when either is not a hex digit.
inline bool byteAt(const char* p, uint8_t& out) {
  uint8_t hi = kDigits.value[static_cast<uint8_t>(p[0])];
  uint8_t lo = kDigits.value[static_cast<uint8_t>(p[1])];
  out = static_cast<uint8_t>((hi << 4) | lo);
  return (hi | lo) < 16;
}

constexpr char kLower[] = "0123456789abcdef";
constexpr char kEndOfFile[] = ":00000001FF\n";

// Longest record line: ':' + (4 header + 255 data + 1 checksum) * 2 + '\n'.
constexpr size_t kMaxLine = 1 + 260 * 2 + 1;

// Formats one record line (':' bytes checksum '\n') into out; returns its length.
size_t formatRecord(char* out, const uint8_t* bytes, uint32_t n) {
  char* p = out;
  *p++ = ':';
  uint8_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) {
    sum = static_cast<uint8_t>(sum + bytes[i]);
    *p++ = kLower[bytes[i] >> 4];
    *p++ = kLower[bytes[i] & 0xF];
  }
  uint8_t check = static_cast<uint8_t>(-sum);
  *p++ = kLower[check >> 4];
  *p++ = kLower[check & 0xF];
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t formatExtended(char* out, uint32_t address) {
  const uint8_t rec[6] = {0x02,
                          0x00,
                          0x00,
                          0x04,
                          static_cast<uint8_t>(address >> 24),
                          static_cast<uint8_t>(address >> 16)};
  return formatRecord(out, rec, 6);
}

bool allErased(const uint8_t* line) {
  uint64_t a, b;
  std::memcpy(&a, line, 8);
  std::memcpy(&b, line + 8, 8);
  return (a & b) == ~uint64_t{0};
}

}  // namespace

Hex::Hex(Hex&& other) noexcept : blocks_(std::move(other.blocks_)) { other.dropCache(); }

Hex& Hex::operator=(const Hex& other) {
  if (this != &other) {
    blocks_ = other.blocks_;
    dropCache();
  }
  return *this;
}

Hex& Hex::operator=(Hex&& other) noexcept {
  if (this != &other) {
    blocks_ = std::move(other.blocks_);
    dropCache();
    other.dropCache();
  }
  return *this;
}

void Hex::reset() {
  blocks_.clear();
  dropCache();
}

Hex::Result Hex::openFromFile(const std::string& path) {
  std::string text;
  switch (FileReader::readAll(path, kMaxFileSize, text)) {
    case FileReader::Read:
      return openFromString(text);
    case FileReader::TooLarge:
      return BadContent;
    case FileReader::CannotOpen:
      break;
  }
  return CannotOpen;
}

Hex::Result Hex::openFromString(std::string_view text) {
  LineState state;
  return readRecords(text, false, state);
}

Hex::Result Hex::openLine(std::string_view line, LineState& state) {
  if (state.ended) return Ok;
  return readRecords(line, true, state);
}

Hex::Result Hex::readRecords(std::string_view text, bool endIsLineFeed, LineState& state) {
  const char* const start = text.data();
  const size_t size = text.size();
  uint32_t& extended = state.extended;
  size_t pos = 0;
  while (pos < size) {
    const char* line = start + pos;
    if (*line == '\n') {
      ++pos;
      continue;
    }
    const size_t available = size - pos;
    if (*line != ':' || available < 9) return BadContent;
    uint8_t count, addrHi, addrLo, type;
    if (!byteAt(line + 1, count) || !byteAt(line + 3, addrHi) || !byteAt(line + 5, addrLo) ||
        !byteAt(line + 7, type)) {
      return BadContent;
    }
    if (type == 0x01) {
      state.ended = true;
      return Ok;
    }
    if (type == 0x05) {
      // Passed over unread; without a line feed it ends the text.
      const void* lf = std::memchr(line, '\n', available);
      if (!lf && !endIsLineFeed) return Ok;
      pos = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : size;
      continue;
    }
    if (count & 1) return BadContent;
    // The record's digits run up to `needed`; the line feed comes at or
    // after it. A line feed among the digits fails them as digits, so the
    // search for the line's end starts there, usually finding it at once.
    const size_t needed = 11 + 2 * size_t{count};
    if (available < needed) return BadContent;
    uint8_t sum = static_cast<uint8_t>(count + addrHi + addrLo + type);
    const char* digits = line + 9;
    uint8_t data[256];
    for (uint32_t i = 0; i <= count; ++i) {  // the data bytes, then the checksum
      if (!byteAt(digits + 2 * i, data[i])) return BadContent;
      sum = static_cast<uint8_t>(sum + data[i]);
    }
    if (sum != 0) return BadContent;
    const char* lf = nullptr;
    if (needed < available && line[needed] == '\n') {
      lf = line + needed;
    } else if (needed < available) {
      lf = static_cast<const char*>(std::memchr(line + needed, '\n', available - needed));
    }
    // A record line must end in a line feed.
    if (lf == nullptr) {
      if (!endIsLineFeed) return BadContent;
      lf = start + size;
    }
    if (type == 0x04) {
      if (count != 2) return BadContent;
      extended = (uint32_t{data[0]} << 8) | data[1];
    } else if (type == 0x00) {
      const uint32_t base = (extended << 16) | (uint32_t{addrHi} << 8) | addrLo;
      if (!storeBytes(base, data, count)) return BadContent;
    } else {
      return BadContent;
    }
    pos = static_cast<size_t>(lf - start) + 1;
  }
  return Ok;
}

Hex::Block* Hex::blockFor(uint32_t blockAddress) {
  if (blockAddress == cachedAddress_) return cachedBlock_;
  auto it = blocks_.find(blockAddress);
  if (it == blocks_.end()) {
    if (blocks_.size() >= kMaxBlocks) return nullptr;
    it = blocks_.emplace_hint(it, blockAddress, Block{});
    it->second.fill(0xFF);
  }
  cachedBlock_ = &it->second;
  cachedAddress_ = blockAddress;
  return cachedBlock_;
}

bool Hex::storeData(uint32_t address, uint32_t value) {
  Block* block = blockFor(address & ~(kBlockSize - 1));
  if (block == nullptr) return false;
  (*block)[address & (kBlockSize - 1)] = static_cast<uint8_t>(value);
  return true;
}

bool Hex::storeBytes(uint32_t address, const uint8_t* bytes, uint32_t n) {
  // A record's bytes lie in one block, or two when it crosses a boundary:
  // one lookup and one copy per block instead of a store call per byte.
  while (n > 0) {
    const uint32_t offset = address & (kBlockSize - 1);
    const uint32_t piece = std::min(n, kBlockSize - offset);
    Block* block = blockFor(address - offset);
    if (block == nullptr) return false;
    // Sixteen bytes at a time: a record's few bytes are not worth a string
    // copy instruction's start-up.
    uint8_t* to = block->data() + offset;
    uint32_t i = 0;
    for (; i + 16 <= piece; i += 16) std::memcpy(to + i, bytes + i, 16);
    for (; i < piece; ++i) to[i] = bytes[i];
    address += piece;  // past the top it wraps to 0, as storeData's sums do
    bytes += piece;
    n -= piece;
  }
  return true;
}

uint32_t Hex::nbKbUsed(uint32_t address, uint32_t count) const {
  const uint32_t end = address + count * kBlockSize;
  uint32_t n = 0;
  for (auto it = blocks_.lower_bound(address); it != blocks_.end() && it->first < end; ++it) ++n;
  return n;
}

const uint8_t* Hex::kb(uint32_t address) const {
  auto it = blocks_.find(address);
  return it == blocks_.end() ? nullptr : it->second.data();
}

void Hex::eraseKb(uint32_t address, uint32_t count) {
  if (count == 0 || blocks_.empty()) return;
  dropCache();
  const uint64_t end = uint64_t{address} + count;
  if (end < 0x100000000ull) {
    blocks_.erase(blocks_.lower_bound(address), blocks_.lower_bound(static_cast<uint32_t>(end)));
  } else {
    // The range wraps past the top of the address space.
    blocks_.erase(blocks_.lower_bound(address), blocks_.end());
    blocks_.erase(blocks_.begin(), blocks_.lower_bound(static_cast<uint32_t>(end)));
  }
}

bool Hex::moveKb(uint32_t from, uint32_t to, uint32_t count) {
  if ((from | to) & (kBlockSize - 1)) return false;
  if (count == 0 || from == to) return true;
  dropCache();
  // Beyond this count the source range would cover the address space twice.
  constexpr uint64_t kAllKb = 0x100000000ull / kBlockSize;
  const uint64_t span = (count < kAllKb ? count : kAllKb) * uint64_t{kBlockSize};
  const uint64_t end = uint64_t{from} + span;

  // Take every source block out first, then place them: the result is that
  // of moving the whole range at once, whatever the overlap.
  std::vector<Blocks::node_type> moved;
  auto takeRange = [&](Blocks::iterator first, Blocks::iterator last) {
    while (first != last) moved.push_back(blocks_.extract(first++));
  };
  if (end < 0x100000000ull) {
    takeRange(blocks_.lower_bound(from), blocks_.lower_bound(static_cast<uint32_t>(end)));
  } else {
    takeRange(blocks_.lower_bound(from), blocks_.end());
    takeRange(blocks_.begin(), blocks_.lower_bound(static_cast<uint32_t>(end)));
  }
  for (auto& node : moved) {
    node.key() = to + (node.key() - from);
    auto result = blocks_.insert(std::move(node));
    if (!result.inserted) result.position->second = result.node.mapped();
  }
  return true;
}

std::string Hex::saveToString() const {
  std::string text;
  // Room for every line of up to 4 MB of text; a sparse image with many
  // mostly erased blocks writes far less than its worst case.
  text.reserve(std::min<size_t>(blocks_.size() * 64 * 44, size_t{4} << 20) + 64);
  char line[kMaxLine];
  uint8_t record[4 + 16];
  // A local, not the member: saving must not write to a const image.
  uint32_t lastRecordAddress = 0;
  for (const auto& [blockAddress, block] : blocks_) {
    for (uint32_t offset = 0; offset < kBlockSize; offset += 16) {
      const uint8_t* bytes = block.data() + offset;
      if (allErased(bytes)) continue;
      const uint32_t address = blockAddress + offset;
      if ((lastRecordAddress ^ address) >= 0x10000) {
        text.append(line, formatExtended(line, address));
      }
      lastRecordAddress = address;
      record[0] = 0x10;
      record[1] = static_cast<uint8_t>(address >> 8);
      record[2] = static_cast<uint8_t>(address);
      record[3] = 0x00;
      std::memcpy(record + 4, bytes, 16);
      text.append(line, formatRecord(line, record, sizeof record));
    }
  }
  text.append(kEndOfFile);
  return text;
}

Hex::Result Hex::saveToFile(const std::string& path) const {
  if (path.find('\0') != std::string::npos) return CannotOpen;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return CannotOpen;
  out << saveToString();
  out.flush();
  return Ok;
}

void Hex::saveBuffer(std::ostream& out, const uint8_t* bytes, uint32_t n) const {
  // A record longer than the count byte allows cannot be a valid line.
  if (n > 4 + 255) n = 4 + 255;
  char line[kMaxLine];
  out.write(line, static_cast<std::streamsize>(formatRecord(line, bytes, n)));
}

void Hex::saveExtendedLinearAddressRecord(std::ostream& out, uint32_t address) const {
  char line[kMaxLine];
  out.write(line, static_cast<std::streamsize>(formatExtended(line, address)));
}

void Hex::saveData(std::ostream& out, uint32_t address, const uint8_t* bytes, uint32_t n) {
  uint8_t record[4 + kMaxRecordData];
  do {
    const uint32_t chunk = n < kMaxRecordData ? n : kMaxRecordData;
    if ((lastRecordAddress_ ^ address) >= 0x10000) saveExtendedLinearAddressRecord(out, address);
    lastRecordAddress_ = address;
    const uint32_t padded = chunk + (chunk & 1);
    record[0] = static_cast<uint8_t>(padded);
    record[1] = static_cast<uint8_t>(address >> 8);
    record[2] = static_cast<uint8_t>(address);
    record[3] = 0x00;
    if (chunk) std::memcpy(record + 4, bytes, chunk);
    if (chunk & 1) record[4 + chunk] = 0xFF;
    saveBuffer(out, record, 4 + padded);
    address += chunk;
    bytes += chunk;
    n -= chunk;
  } while (n > 0);
}

void Hex::saveEndOfFile(std::ostream& out) const { out.write(kEndOfFile, sizeof kEndOfFile - 1); }

}  // namespace lc
