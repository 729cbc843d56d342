// HEX read and write throughput on three texts, and the time to build full
// loader streams. With --lc_write_dir=DIR the three texts are also written
// there, so that bench/compare_hex.js can time other readers on the same
// files.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "firmware/Hex.h"
#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"

namespace {

// One record line in upper case, as toolchains write them.
void appendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, size_t n,
                  const char* eol) {
  char buf[16];
  uint8_t sum = static_cast<uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), address, type);
  out += buf;
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    out += buf;
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  std::snprintf(buf, sizeof buf, "%02X", static_cast<uint8_t>(-sum));
  out += buf;
  out += eol;
}

// Writes runs of (address, bytes) as records of recordSize bytes that never
// cross a 64 KB boundary, with extended address records where needed.
std::string hexText(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& runs,
                    size_t recordSize, const char* eol) {
  std::string out;
  uint32_t segment = 0xFFFFFFFF;
  for (const auto& [base, bytes] : runs) {
    for (size_t i = 0; i < bytes.size();) {
      const uint32_t address = base + static_cast<uint32_t>(i);
      size_t n = std::min(recordSize, bytes.size() - i);
      n = std::min<size_t>(n, 0x10000 - (address & 0xFFFF));
      if ((address >> 16) != segment) {
        segment = address >> 16;
        const uint8_t ext[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
        appendRecord(out, 0x04, 0, ext, 2, eol);
      }
      appendRecord(out, 0x00, static_cast<uint16_t>(address), bytes.data() + i, n, eol);
      i += n;
    }
  }
  out += ":00000001FF";
  out += eol;
  return out;
}

struct Texts {
  std::string dense16, dense32crlf, sparse;
};

const Texts& texts() {
  static const Texts t = [] {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    auto randomBytes = [&](size_t n) {
      std::vector<uint8_t> v(n);
      for (auto& b : v) b = static_cast<uint8_t>(byte(rng));
      return v;
    };
    // About 400 KB of text: 146 KB of data. Addresses stay below 2 GB
    // because the npm reader compared against refuses higher ones.
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> dense = {
        {0x00020000, randomBytes(146 * 1024)}};
    // Runs of 1 to 3 KB spread over 4 MB, so that most runs start a new
    // 64 KB segment and some cross one.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sparse;
    std::uniform_int_distribution<uint32_t> len(512, 1536);
    for (uint32_t a = 0x0000F000; sparse.size() < 96; a += 0xA800) {
      sparse.emplace_back(a, randomBytes(2 * len(rng)));
    }
    return Texts{hexText(dense, 16, "\n"), hexText(dense, 32, "\r\n"), hexText(sparse, 16, "\n")};
  }();
  return t;
}

void read(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    lc::Hex hex;
    if (hex.openFromString(text) != lc::Hex::Ok) state.SkipWithError("bad HEX text");
    benchmark::DoNotOptimize(hex.nbKbUsed());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void write(benchmark::State& state, const std::string& text) {
  lc::Hex hex;
  hex.openFromString(text);
  size_t written = 0;
  for (auto _ : state) {
    std::string out = hex.saveToString();
    written = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * written));
}

void BM_HexRead_Dense16(benchmark::State& s) { read(s, texts().dense16); }
void BM_HexRead_Dense32Crlf(benchmark::State& s) { read(s, texts().dense32crlf); }
void BM_HexRead_Sparse(benchmark::State& s) { read(s, texts().sparse); }
void BM_HexWrite_Dense(benchmark::State& s) { write(s, texts().dense16); }
void BM_HexWrite_Sparse(benchmark::State& s) { write(s, texts().sparse); }
// Wall-clock rates, as the other readers in compare_hex.js are timed.
BENCHMARK(BM_HexRead_Dense16)->UseRealTime();
BENCHMARK(BM_HexRead_Dense32Crlf)->UseRealTime();
BENCHMARK(BM_HexRead_Sparse)->UseRealTime();
BENCHMARK(BM_HexWrite_Dense)->UseRealTime();
BENCHMARK(BM_HexWrite_Sparse)->UseRealTime();

// A package whose one tile image fills the given range completely.
lc::LcApp fullApp(uint32_t base, uint32_t kb) {
  lc::Hex hex;
  for (uint32_t i = 0; i < kb * lc::Hex::kBlockSize; ++i) hex.storeData(base + i, i * 7);
  const std::string path = "/tmp/lc-bench-full.hex";
  hex.saveToFile(path);
  lc::LcApp app;
  app.addHex("quadra", path);
  std::remove(path.c_str());
  return app;
}

void stream(benchmark::State& state, const lc::LcApp& app, lc::LoaderStream::Type type) {
  size_t packets = 0;
  for (auto _ : state) {
    lc::LoaderStream loader(app);
    loader.generate(type);
    packets = loader.data().size() / lc::LoaderStream::kPacketSize;
    benchmark::DoNotOptimize(loader.data().data());
  }
  state.counters["packets"] = static_cast<double>(packets);
}

void BM_LoaderAppOnlyFull(benchmark::State& s) {
  static const lc::LcApp app = fullApp(lc::LoaderStream::kRamBase, 128);
  stream(s, app, lc::LoaderStream::AppOnly);
}
void BM_LoaderKernelFull(benchmark::State& s) {
  static const lc::LcApp app = fullApp(lc::LoaderStream::kKernelBase, 384);
  stream(s, app, lc::LoaderStream::Kernel);
}
BENCHMARK(BM_LoaderAppOnlyFull)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoaderKernelFull)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  const std::string flag = "--lc_write_dir=";
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], flag.c_str(), flag.size()) == 0) {
      const std::string dir = argv[i] + flag.size();
      std::ofstream(dir + "/dense16.hex", std::ios::binary) << texts().dense16;
      std::ofstream(dir + "/dense32crlf.hex", std::ios::binary) << texts().dense32crlf;
      std::ofstream(dir + "/sparse.hex", std::ios::binary) << texts().sparse;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
