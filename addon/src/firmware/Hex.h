#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>

namespace lc {

// A sparse firmware image held in 1024-byte blocks keyed by their first
// address, read from and written to Intel HEX text. Bytes never stored read
// as 0xFF, the value of erased flash.
class Hex {
 public:
  static constexpr uint32_t kBlockSize = 1024;
  static constexpr uint32_t kNoAddress = 0xFFFFFFFF;
  // Largest data record the writer emits: the count byte must hold it and
  // the reader refuses odd counts.
  static constexpr uint32_t kMaxRecordData = 254;

  using Block = std::array<uint8_t, kBlockSize>;
  using Blocks = std::map<uint32_t, Block>;
  using const_iterator = Blocks::const_iterator;

  enum Result { Ok = 0, CannotOpen = 1, BadContent = 2 };

  // Largest file read whole: far beyond any image of the modules' memory,
  // small enough that a wrong path (a disk image) cannot exhaust memory.
  static constexpr size_t kMaxFileSize = 64u << 20;
  // Most blocks one image holds: 8 MiB of data. The largest real image (the
  // 128 KB of RAM, 384 KB of kernel and 128 KB of fallback flash, 640
  // blocks) fits more than twelve times over. The file size alone does not
  // bound the image: a record of two bytes can create a whole block, so a
  // file of 64 MiB could otherwise ask for gigabytes.
  static constexpr size_t kMaxBlocks = 8192;

  Hex() = default;
  // Copies start without a cache: it would point into the other image.
  Hex(const Hex& other) : blocks_(other.blocks_) {}
  Hex(Hex&& other) noexcept;
  Hex& operator=(const Hex& other);
  Hex& operator=(Hex&& other) noexcept;

  void reset();

  // CannotOpen also for what is not a regular file; BadContent also for a
  // file above kMaxFileSize.
  Result openFromFile(const std::string& path);
  // Merges into the image: later bytes replace earlier ones; bytes of
  // records before a bad one stay. Text whose records would make the image
  // pass kMaxBlocks is BadContent.
  Result openFromString(std::string_view text);

  // Where a text read a line at a time has got to.
  struct LineState {
    uint32_t extended = 0;
    // Past the end-of-file record: the lines after it are not read.
    bool ended = false;
  };
  // Reads one line given without its line feed, as openFromString reads it
  // within the lines joined by line feeds (one may hold several records).
  Result openLine(std::string_view line, LineState& state);

  // Stores the low 8 bits of value. False, storing nothing, when the byte
  // would need a new block and the image already holds kMaxBlocks.
  bool storeData(uint32_t address, uint32_t value);

  bool kbIsUsed(uint32_t address) const { return blocks_.count(address) != 0; }
  uint32_t nbKbUsed() const { return static_cast<uint32_t>(blocks_.size()); }
  // Blocks b with address <= b < address + count * 1024 (32-bit arithmetic).
  uint32_t nbKbUsed(uint32_t address, uint32_t count) const;
  // The block starting exactly at address, or nullptr.
  const uint8_t* kb(uint32_t address) const;
  // Removes the blocks whose address lies in [address, address + count);
  // count is in bytes.
  void eraseKb(uint32_t address, uint32_t count);
  // Moves count kilobytes from one range to another as one operation, so
  // overlapping ranges keep every source block's content. Both addresses
  // must be block-aligned; otherwise nothing moves and the result is false.
  bool moveKb(uint32_t from, uint32_t to, uint32_t count);

  const_iterator begin() const { return blocks_.begin(); }
  const_iterator end() const { return blocks_.end(); }

  // Changes nothing, so several threads may save one image at once.
  std::string saveToString() const;
  // CannotOpen when the file cannot be opened for writing.
  Result saveToFile(const std::string& path) const;

  // Record primitives of a writer that emits records one by one; each
  // writes whole lines.
  void saveBuffer(std::ostream& out, const uint8_t* bytes, uint32_t n) const;
  void saveExtendedLinearAddressRecord(std::ostream& out, uint32_t address) const;
  // Data longer than one record is split into several records. Remembers
  // the last record's address (so not const) to know when the next one
  // needs an extended address record.
  void saveData(std::ostream& out, uint32_t address, const uint8_t* bytes, uint32_t n);
  void saveEndOfFile(std::ostream& out) const;

 private:
  Blocks blocks_;
  Block* cachedBlock_ = nullptr;
  uint32_t cachedAddress_ = kNoAddress;
  // State of the record-by-record writer (saveData).
  uint32_t lastRecordAddress_ = kNoAddress;

  // The block at `blockAddress`, created erased when missing; the cache is
  // set to it. nullptr when a new block would pass kMaxBlocks.
  Block* blockFor(uint32_t blockAddress);
  // Stores n bytes from `address` on (wrapping past the top of the address
  // space as storeData does), a block-sized piece at a time; false at the
  // first block that cannot be made, the bytes before it stored.
  bool storeBytes(uint32_t address, const uint8_t* bytes, uint32_t n);

  // openFromString and openLine: with endIsLineFeed the text's end closes
  // its last record as a line feed would.
  Result readRecords(std::string_view text, bool endIsLineFeed, LineState& state);

  void dropCache() {
    cachedBlock_ = nullptr;
    cachedAddress_ = kNoAddress;
  }
};

}  // namespace lc
