// Parses arbitrary text as Intel HEX, writes what was read back out and
// reads that again: the second image must hold exactly the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "firmware/Hex.h"

namespace {

uint8_t byteAt(const lc::Hex& hex, uint32_t address) {
  const uint8_t* block = hex.kb(address & ~(lc::Hex::kBlockSize - 1));
  return block ? block[address & (lc::Hex::kBlockSize - 1)] : 0xFF;
}

void expectCovered(const lc::Hex& a, const lc::Hex& b) {
  for (const auto& [address, block] : a) {
    for (uint32_t i = 0; i < lc::Hex::kBlockSize; ++i) {
      if (block[i] != byteAt(b, address + i)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lc::Hex hex;
  hex.openFromString(std::string_view(reinterpret_cast<const char*>(data), size));
  lc::Hex back;
  if (back.openFromString(hex.saveToString()) != lc::Hex::Ok) std::abort();
  expectCovered(hex, back);
  expectCovered(back, hex);

  // Block operations on whatever was read must keep the image consistent.
  if (hex.nbKbUsed() != 0) {
    const uint32_t first = hex.begin()->first;
    hex.moveKb(first, first + 0x400 * (size & 7), static_cast<uint32_t>(size & 15));
    hex.eraseKb(first, static_cast<uint32_t>(size * 64));
    hex.storeData(first, 0);
    if (hex.nbKbUsed(0, 0xFFFFFFFF) > hex.nbKbUsed()) std::abort();
  }
  return 0;
}
