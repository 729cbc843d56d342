#include "firmware/LoaderStream.h"

#include <algorithm>
#include <cstring>

namespace lc {

namespace {
constexpr uint16_t kNoSelector = 0xFFFF;
constexpr uint32_t kChunk = 128;
constexpr uint32_t kChunksPerKb = Hex::kBlockSize / kChunk;
constexpr uint8_t kErased[kChunk] = {
#define LC_FF8 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
#define LC_FF64 LC_FF8, LC_FF8, LC_FF8, LC_FF8, LC_FF8, LC_FF8, LC_FF8, LC_FF8
    LC_FF64, LC_FF64
#undef LC_FF64
#undef LC_FF8
};
}  // namespace

uint16_t LoaderStream::typeCode(uint8_t typeId) { return loaderCode(typeId); }

void LoaderStream::putOne(uint32_t value, uint8_t* buffer, uint32_t width) {
  for (uint32_t i = 0; i < width; ++i) {
    buffer[i] = i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
  }
}

void LoaderStream::putVal(uint32_t value, uint8_t* buffer, uint32_t width) {
  for (uint32_t copy = 0; copy < 3; ++copy) putOne(value, buffer + copy * width, width);
}

uint8_t* LoaderStream::appendPacket(uint8_t command, uint16_t selector, uint16_t code,
                                    uint32_t argument, uint32_t argument2) {
  const size_t at = stream_.size();
  stream_.resize(at + kPacketSize, 0);
  uint8_t* p = stream_.data() + at;
  putVal(command, p + 0, 1);
  putVal(selector, p + 6, 2);
  putVal(code, p + 12, 2);
  putVal(argument, p + 18, 4);
  putVal(argument2, p + 30, 4);
  return p;
}

void LoaderStream::genSize(uint32_t count) { appendPacket(CmdSize, kNoSelector, 0, count, 0); }

void LoaderStream::genSetCurtainJump(uint32_t code) {
  appendPacket(CmdCurtainJump, 0, static_cast<uint16_t>(code), kCurtainJumpFrom, kCurtainJumpTo);
}

void LoaderStream::genJump() { appendPacket(CmdJump, kNoSelector, 0, 0, 0); }
void LoaderStream::genStartRam() { appendPacket(CmdStartRam, kNoSelector, 0, 0, 0); }
void LoaderStream::genReset() { appendPacket(CmdReset, kNoSelector, 0, 0, 0); }

bool LoaderStream::unitUsed(const Hex& hex, uint32_t address, uint32_t kbPerUnit) const {
  for (uint32_t k = 0; k < kbPerUnit; ++k) {
    if (hex.kb(address + k * Hex::kBlockSize) != nullptr) return true;
  }
  return false;
}

uint32_t LoaderStream::genMemory(const Hex& hex, uint32_t code, uint32_t kbPerUnit,
                                 uint32_t baseAddress, uint32_t unitCount) {
  uint32_t units = 0;
  const uint32_t unitSize = kbPerUnit * Hex::kBlockSize;
  for (uint32_t u = 0; u < unitCount && kbPerUnit != 0; ++u) {
    const uint32_t address = baseAddress + u * unitSize;
    if (!unitUsed(hex, address, kbPerUnit)) continue;
    appendPacket(CmdMemory, 0, static_cast<uint16_t>(code), address, 0);
    // One memory packet plus every 128-byte chunk three times.
    size_t at = stream_.size();
    stream_.resize(at + size_t{kbPerUnit} * kChunksPerKb * 3 * kChunk);
    uint8_t* out = stream_.data() + at;
    for (uint32_t k = 0; k < kbPerUnit; ++k) {
      const uint8_t* block = hex.kb(address + k * Hex::kBlockSize);
      for (uint32_t c = 0; c < kChunksPerKb; ++c) {
        const uint8_t* chunk = block ? block + c * kChunk : kErased;
        for (int copy = 0; copy < 3; ++copy, out += kChunk) std::memcpy(out, chunk, kChunk);
      }
    }
    ++units;
  }
  return units;
}

uint32_t LoaderStream::genEmpty(const Hex& hex, uint32_t code, uint32_t kbPerUnit,
                                uint32_t baseAddress, uint32_t unitCount) {
  uint32_t units = 0;
  const uint32_t unitSize = kbPerUnit * Hex::kBlockSize;
  for (uint32_t u = 0; u < unitCount && kbPerUnit != 0; ++u) {
    const uint32_t address = baseAddress + u * unitSize;
    if (unitUsed(hex, address, kbPerUnit)) continue;
    appendPacket(CmdEmpty, 0, static_cast<uint16_t>(code), address, 0);
    // Sixteen fillers: the same packet with its command bytes cleared.
    const size_t header = stream_.size() - kPacketSize;
    for (int f = 0; f < 16; ++f) {
      const size_t at = stream_.size();
      stream_.resize(at + kPacketSize);
      std::memcpy(stream_.data() + at, stream_.data() + header, kPacketSize);
      std::memset(stream_.data() + at, 0, 3);
    }
    ++units;
  }
  return units;
}

size_t LoaderStream::beginKind(size_t packets) {
  const size_t mark = stream_.size();
  // One allocation for the whole kind; a fresh stream also gets its size
  // packet's slot now, so that nothing has to move to make room for it.
  stream_.reserve(mark + (packets + 1) * kPacketSize);
  if (mark == 0) genSize(0);
  return mark;
}

void LoaderStream::endKind(size_t mark, uint32_t units) {
  if (mark == 0) {
    putVal(units, stream_.data() + 18, 4);
    return;
  }
  // A stream that held packets before: the size packet goes in front of all.
  const size_t oldSize = stream_.size();
  genSize(units);
  std::rotate(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(oldSize),
              stream_.end());
}

uint32_t LoaderStream::usedUnits(const Hex& hex, uint32_t kbPerUnit, uint32_t baseAddress,
                                 uint32_t unitCount) const {
  uint32_t used = 0;
  for (uint32_t u = 0; u < unitCount && kbPerUnit != 0; ++u) {
    used += unitUsed(hex, baseAddress + u * kbPerUnit * Hex::kBlockSize, kbPerUnit) ? 1 : 0;
  }
  return used;
}

void LoaderStream::genRamKind(bool startRam) {
  const std::vector<uint8_t> ids = app_.getIds();
  size_t packets = 1;
  for (uint8_t id : ids) {
    packets += 1 + size_t{usedUnits(app_.getHex(id), kRamKbPerUnit, kRamBase, kRamUnits)} *
                       (1 + 24 * kRamKbPerUnit);
  }
  const size_t mark = beginKind(packets);
  uint32_t units = 0;
  for (uint8_t id : ids) {
    const uint16_t code = typeCode(id);
    units += genMemory(app_.getHex(id), code, kRamKbPerUnit, kRamBase, kRamUnits);
    genSetCurtainJump(code);
  }
  if (startRam) {
    genStartRam();
  } else {
    genJump();
  }
  endKind(mark, units);
}

void LoaderStream::genAppOnly() { genRamKind(true); }
void LoaderStream::genRam() { genRamKind(false); }

void LoaderStream::genKernel() {
  const std::vector<uint8_t> ids = app_.getIds();
  size_t packets = 1;
  for (uint8_t id : ids) {
    const size_t used = usedUnits(app_.getHex(id), kKernelKbPerUnit, kKernelBase, kKernelUnits);
    packets += used * (1 + 24 * kKernelKbPerUnit) + (kKernelUnits - used) * 17;
  }
  const size_t mark = beginKind(packets);
  uint32_t units = 0;
  for (uint8_t id : ids) {
    units += genEmpty(app_.getHex(id), typeCode(id), kKernelKbPerUnit, kKernelBase, kKernelUnits);
  }
  for (uint8_t id : ids) {
    units += genMemory(app_.getHex(id), typeCode(id), kKernelKbPerUnit, kKernelBase, kKernelUnits);
  }
  genReset();
  endKind(mark, units);
}

void LoaderStream::genFallback() {
  const std::vector<uint8_t> ids = app_.getIds();
  size_t packets = 1;
  for (uint8_t id : ids) {
    packets +=
        size_t{usedUnits(app_.getHex(id), kFallbackKbPerUnit, kFallbackBase, kFallbackUnits)} *
        (1 + 24 * kFallbackKbPerUnit);
  }
  const size_t mark = beginKind(packets);
  uint32_t units = 0;
  for (uint8_t id : ids) {
    units +=
        genMemory(app_.getHex(id), typeCode(id), kFallbackKbPerUnit, kFallbackBase, kFallbackUnits);
  }
  genReset();
  endKind(mark, units);
}

void LoaderStream::generate(Type type) {
  switch (type) {
    case AppOnly:
      genAppOnly();
      break;
    case Ram:
      genRam();
      break;
    case Kernel:
      genKernel();
      break;
    case Fallback:
      genFallback();
      break;
  }
}

void LoaderStream::concat(const LoaderStream& other) {
  // Sized first so that a stream can be appended to itself.
  const size_t oldSize = stream_.size();
  const size_t n = other.stream_.size();
  stream_.resize(oldSize + n);
  if (n) std::memcpy(stream_.data() + oldSize, other.stream_.data(), n);
}

}  // namespace lc
