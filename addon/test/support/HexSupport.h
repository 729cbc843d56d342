#pragma once

// Helpers shared by the firmware tests: building records, random images and
// comparing images byte for byte.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "firmware/Hex.h"

namespace lc::test {

// The byte at address, 0xFF where no block holds it.
inline uint8_t byteAt(const Hex& hex, uint32_t address) {
  const uint8_t* block = hex.kb(address & ~(Hex::kBlockSize - 1));
  return block ? block[address & (Hex::kBlockSize - 1)] : 0xFF;
}

// One record line (no line end) with a correct checksum.
inline std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  std::string line = ":";
  char digits[3];
  for (uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
    std::snprintf(digits, sizeof digits, "%02X", b);
    line += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(-sum));
  return line + digits;
}

inline std::vector<uint32_t> blockAddresses(const Hex& hex) {
  std::vector<uint32_t> out;
  for (const auto& entry : hex) out.push_back(entry.first);
  return out;
}

// True when both images hold the same bytes, treating 0xFF as absent.
inline bool sameBytes(const Hex& a, const Hex& b) {
  auto covered = [](const Hex& x, const Hex& y) {
    for (const auto& [address, block] : x) {
      for (uint32_t i = 0; i < Hex::kBlockSize; ++i) {
        if (block[i] != byteAt(y, address + i)) return false;
      }
    }
    return true;
  };
  return covered(a, b) && covered(b, a);
}

// A sparse image: runs of random bytes (0xFF included) scattered over a few
// 64 KB segments, some blocks left all-erased.
inline Hex randomImage(std::mt19937& rng, int runs) {
  Hex hex;
  const uint32_t segments[] = {0x00000000, 0x0000F000, 0x00010000,
                               0x9D020000, 0xA0000000, 0xFFFF0000};
  std::uniform_int_distribution<uint32_t> segment(0, 5), offset(0, 0x1FFFF), length(1, 700),
      byte(0, 255);
  for (int r = 0; r < runs; ++r) {
    uint32_t address = segments[segment(rng)] + offset(rng);
    uint32_t n = length(rng);
    for (uint32_t i = 0; i < n; ++i) hex.storeData(address + i, byte(rng));
  }
  hex.storeData(0x00050000, 0xFF);  // a block whose bytes are all erased
  return hex;
}

// A path in this process's own temporary folder.
inline std::string tempPath(const std::string& name) {
  static const std::filesystem::path dir = [] {
    std::filesystem::path p =
        std::filesystem::temp_directory_path() / ("lc-fw-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return (dir / name).string();
}

}  // namespace lc::test
