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
  // small enough that a wrong path (a device, a disk image) cannot exhaust
  // memory.
  static constexpr size_t kMaxFileSize = 64u << 20;
  // Reads a whole file: 0 read, 1 it cannot be opened or read (a directory
  // for instance), 2 it is larger than kMaxFileSize.
  static int readFile(const std::string& path, std::string& text);

  Hex() = default;
  // Copies start without a cache: it would point into the other image.
  Hex(const Hex& other) : blocks_(other.blocks_) {}
  Hex(Hex&& other) noexcept;
  Hex& operator=(const Hex& other);
  Hex& operator=(Hex&& other) noexcept;

  void reset();

  // 0 loaded, 1 the file cannot be opened, 2 bad content.
  int openFromFile(const std::string& path);
  // 0 loaded, 2 bad content. Merges into the image: later bytes replace
  // earlier ones; bytes of records before a bad one stay.
  int openFromString(std::string_view text);

  void storeData(uint32_t address, uint32_t value);

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

  std::string saveToString() const;
  // 0 written, 1 the file cannot be opened for writing.
  int saveToFile(const std::string& path) const;

  // Record primitives of the writer; each writes whole lines.
  void saveBuffer(std::ostream& out, const uint8_t* bytes, uint32_t n) const;
  void saveExtendedLinearAddressRecord(std::ostream& out, uint32_t address) const;
  // Data longer than one record is split into several records.
  void saveData(std::ostream& out, uint32_t address, const uint8_t* bytes, uint32_t n) const;
  void saveEndOfFile(std::ostream& out) const;

 private:
  Blocks blocks_;
  Block* cachedBlock_ = nullptr;
  uint32_t cachedAddress_ = kNoAddress;
  // The writer's own state; writing a const image still updates it.
  mutable uint32_t lastRecordAddress_ = kNoAddress;

  void dropCache() {
    cachedBlock_ = nullptr;
    cachedAddress_ = kNoAddress;
  }
};

}  // namespace lc
