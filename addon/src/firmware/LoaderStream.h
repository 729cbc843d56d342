#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "firmware/Hex.h"
#include "firmware/LcApp.h"

namespace lc {

// Builds the loader stream of a package: 128-byte packets for the modules'
// boot code. The stream has no checksum, so every header value and every
// 128 bytes of image data are written three times in a row.
class LoaderStream {
 public:
  enum Type : uint32_t { AppOnly = 0, Ram = 1, Kernel = 2, Fallback = 3 };

  static constexpr uint32_t kPacketSize = 128;

  enum Command : uint8_t {
    CmdSize = 0x02,
    CmdMemory = 0x03,
    CmdCurtainJump = 0x05,
    CmdJump = 0x14,
    CmdStartRam = 0x1E,
    CmdReset = 0x28,
    CmdEmpty = 0x32,
  };

  // Memory regions of the stream kinds: first address, kilobytes per unit,
  // number of units.
  static constexpr uint32_t kRamBase = 0xA0000000, kRamKbPerUnit = 1, kRamUnits = 128;
  static constexpr uint32_t kKernelBase = 0x9D020000, kKernelKbPerUnit = 4, kKernelUnits = 96;
  static constexpr uint32_t kFallbackBase = 0x9D000000, kFallbackKbPerUnit = 4, kFallbackUnits = 32;
  static constexpr uint32_t kCurtainJumpFrom = 0xA000F000, kCurtainJumpTo = 0xA000FA00;

  // Keeps its own copy: later changes to the caller's package do not reach
  // the stream.
  explicit LoaderStream(const LcApp& app) : app_(app) {}
  // Takes a package the caller no longer needs (a worker's own copy)
  // without copying its images again.
  explicit LoaderStream(LcApp&& app) : app_(std::move(app)) {}

  // Appends the stream of one kind; any other value does nothing.
  void generate(Type type);
  void genAppOnly();
  void genRam();
  void genKernel();
  void genFallback();

  // Each returns the number of units it appended.
  uint32_t genMemory(const Hex& hex, uint32_t typeCode, uint32_t kbPerUnit, uint32_t baseAddress,
                     uint32_t unitCount);
  uint32_t genEmpty(const Hex& hex, uint32_t typeCode, uint32_t kbPerUnit, uint32_t baseAddress,
                    uint32_t unitCount);

  void genSize(uint32_t count);
  void genSetCurtainJump(uint32_t typeCode);
  void genJump();
  void genStartRam();
  void genReset();

  void concat(const LoaderStream& other);
  const std::vector<uint8_t>& data() const { return stream_; }

  // The 16-bit code the boot code knows a module type by (a fact of the
  // module-type table); 0 for an unknown id.
  static uint16_t typeCode(uint8_t typeId);

  // Writes value little-endian over width bytes, three times in a row;
  // widths above 4 are zero beyond the fourth byte.
  static void putVal(uint32_t value, uint8_t* buffer, uint32_t width);
  static void putOne(uint32_t value, uint8_t* buffer, uint32_t width);

 private:
  std::vector<uint8_t> stream_;
  LcApp app_;

  // Appends one header packet and returns its first byte.
  uint8_t* appendPacket(uint8_t command, uint16_t selector, uint16_t typeCode, uint32_t argument,
                        uint32_t argument2);
  void genRamKind(bool startRam);
  bool unitUsed(const Hex& hex, uint32_t address, uint32_t kbPerUnit) const;
  uint32_t usedUnits(const Hex& hex, uint32_t kbPerUnit, uint32_t baseAddress,
                     uint32_t unitCount) const;
  // Reserves room for a kind's packets and returns the stream length before
  // it; endKind then puts the size packet carrying units in front of all.
  size_t beginKind(size_t packets);
  void endKind(size_t mark, uint32_t units);
};

}  // namespace lc
