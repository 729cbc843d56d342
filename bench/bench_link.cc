// Throughput of the link over loopback: frames the receive thread decodes and
// delivers, and frames sendFrame writes. Counts heap allocations in the
// measured loops through a replaced operator new; both must stay at zero.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "link/Communication.h"
#include "link/EventListener.h"
#include "transport/TcpipDriver.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// The replacement pairs malloc with free; the compiler cannot see that.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<unsigned char>;

// The measuring thread sleeps while it waits: on two cores a spinning
// waiter would take the time of the threads being measured.
void pause() { std::this_thread::sleep_for(std::chrono::microseconds(500)); }

Bytes frame(uint16_t type, size_t length) {
  Bytes f{uint8_t(type), uint8_t(type >> 8), uint8_t(length), uint8_t(length >> 8)};
  for (size_t i = 0; i < length; ++i) f.push_back(uint8_t(i));
  return f;
}

// A loopback relay on its own thread: sends `pattern` over and over as fast
// as the socket takes it, or reads and discards what comes.
class BlastRelay {
 public:
  enum Mode { Send, Sink, SendOnce };

  BlastRelay(Mode mode, Bytes pattern) : mode_(mode), pattern_(std::move(pattern)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~BlastRelay() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    if (client_ != -1) ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    if (client_ != -1) ::close(client_);
    ::close(listen_);
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    client_ = ::accept(listen_, nullptr, nullptr);
    if (client_ == -1) return;
    int one = 1;
    setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<unsigned char> sink(1 << 16);
    if (mode_ == SendOnce) {
      size_t at = 0;
      while (!stop_ && at < pattern_.size()) {
        ssize_t r = ::send(client_, pattern_.data() + at, pattern_.size() - at, MSG_NOSIGNAL);
        if (r <= 0) break;
        at += size_t(r);
      }
      ::shutdown(client_, SHUT_WR);  // the link reads to the end, then ends
      return;
    }
    while (!stop_) {
      ssize_t r = mode_ == Send ? ::send(client_, pattern_.data(), pattern_.size(), MSG_NOSIGNAL)
                                : ::recv(client_, sink.data(), sink.size(), 0);
      if (r <= 0) break;
    }
  }

  Mode mode_;
  Bytes pattern_;
  int listen_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CountingListener : public lc::EventListenerBase {
 public:
  void addEvent(const lc::Event& e) override {
    if (e.kind != lc::Event::Closed)
      frames.fetch_add(1, std::memory_order_release);
    else
      closed.fetch_add(1, std::memory_order_release);
  }
  std::atomic<long> frames{0};
  std::atomic<long> closed{0};
};

// The floor for receiving: a plain reader of the same bytes from the same
// relay, cutting frames out of reads of the link's chunk size on one
// thread, with no link, listener or lock. Frames per second over `seconds`.
double plainReaderRate(const Bytes& block, double seconds) {
  BlastRelay relay(BlastRelay::Send, block);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(relay.port());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return 0;
  }
  constexpr size_t kChunk = lc::Communication::kReadChunk;
  std::vector<unsigned char> buffer(kChunk + 4 + 65535);
  size_t held = 0;
  long frames = 0;
  unsigned checksum = 0;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const ssize_t r = ::recv(fd, buffer.data() + held, kChunk, 0);
    if (r <= 0) break;
    held += size_t(r);
    size_t at = 0;
    while (held - at >= 4) {
      const size_t whole = 4 + size_t(buffer[at + 2] | (buffer[at + 3] << 8));
      if (held - at < whole) break;
      // What a consumer reads of a status frame: its first payload byte.
      if (whole > 4) checksum += buffer[at + 4];
      ++frames;
      at += whole;
    }
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  benchmark::DoNotOptimize(checksum);
  ::close(fd);
  return double(frames) / elapsed;
}

// The relay repeats a block of 64 frames of one type and payload length.
// Each run also times the plain reader on the same block, and reports the
// link's rate as a share of it (aim for status frames: at least 0.3).
void receive(benchmark::State& state, uint16_t type, size_t length) {
  Bytes block;
  const Bytes one = frame(type, length);
  for (int i = 0; i < 64; ++i) block.insert(block.end(), one.begin(), one.end());
  const double plain = plainReaderRate(block, 0.5);
  BlastRelay relay(BlastRelay::Send, block);
  lc::TcpipDriver driver("127.0.0.1", relay.port(), "bench");
  lc::Communication link;
  CountingListener listener;
  link.setDriver(&driver);
  link.addEventListener(listener);
  if (!link.start()) {
    state.SkipWithError("no connection");
    return;
  }
  constexpr long kBatch = 10000;
  while (listener.frames.load() < kBatch) pause();  // warm up
  long allocationsBefore = allocations.load();
  long start = listener.frames.load();
  const auto began = std::chrono::steady_clock::now();
  for (auto _ : state) {
    long target = listener.frames.load() + kBatch;
    while (listener.frames.load(std::memory_order_acquire) < target) pause();
  }
  long frames = listener.frames.load() - start;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  long allocated = allocations.load() - allocationsBefore;
  state.SetItemsProcessed(frames);
  state.counters["frames"] = double(frames);
  state.counters["allocs_per_frame"] = double(allocated) / double(frames);
  state.counters["plain_per_s"] = plain;
  state.counters["vs_plain"] = plain > 0 ? double(frames) / elapsed / plain : 0;
  link.stopAndWait();
  link.removeEventListener(listener);
}

// Same, through an EventListener drained by a worker thread as commands do.
void receiveQueued(benchmark::State& state, uint16_t type, size_t length) {
  Bytes block;
  const Bytes one = frame(type, length);
  for (int i = 0; i < 64; ++i) block.insert(block.end(), one.begin(), one.end());
  BlastRelay relay(BlastRelay::Send, block);
  lc::TcpipDriver driver("127.0.0.1", relay.port(), "bench");
  lc::Communication link;
  link.setDriver(&driver);
  std::atomic<long> taken{0};
  lc::EventListener listener(link);
  std::thread worker([&] {
    lc::Event e;
    while (listener.waitEvent(e, 2000) == lc::EventListener::Taken && e.kind != lc::Event::Closed)
      taken.fetch_add(1, std::memory_order_release);
  });
  if (!link.start()) {
    listener.closeEvent();
    worker.join();
    state.SkipWithError("no connection");
    return;
  }
  constexpr long kBatch = 10000;
  while (taken.load() < kBatch) pause();
  long allocationsBefore = allocations.load();
  long start = taken.load();
  for (auto _ : state) {
    long target = taken.load() + kBatch;
    while (taken.load(std::memory_order_acquire) < target) pause();
  }
  long frames = taken.load() - start;
  long allocated = allocations.load() - allocationsBefore;
  state.SetItemsProcessed(frames);
  state.counters["frames"] = double(frames);
  state.counters["allocs_per_frame"] = double(allocated) / double(frames);
  link.stopAndWait();
  worker.join();
}

// A fixed flood of frames, then the relay closes: the link reads all of it
// and ends. With a known frame count, a system call trace of this run alone
// gives the calls per frame (bench_link --benchmark_filter=flood).
void flood(benchmark::State& state, uint16_t type, size_t length) {
  constexpr long kFrames = 100000;
  Bytes all;
  const Bytes one = frame(type, length);
  all.reserve(one.size() * kFrames);
  for (long i = 0; i < kFrames; ++i) all.insert(all.end(), one.begin(), one.end());
  long total = 0;
  for (auto _ : state) {
    BlastRelay relay(BlastRelay::SendOnce, all);
    lc::TcpipDriver driver("127.0.0.1", relay.port(), "bench");
    lc::Communication link;
    CountingListener listener;
    link.setDriver(&driver);
    link.addEventListener(listener);
    if (!link.start()) {
      state.SkipWithError("no connection");
      return;
    }
    while (listener.closed.load(std::memory_order_acquire) == 0) pause();
    link.join();
    link.removeEventListener(listener);
    if (listener.frames.load() != kFrames) {
      state.SkipWithError("frames lost");
      return;
    }
    total += kFrames;
  }
  state.SetItemsProcessed(total);
  state.counters["frames"] = double(total);
}

void send(benchmark::State& state, size_t length) {
  BlastRelay relay(BlastRelay::Sink, {});
  lc::TcpipDriver driver("127.0.0.1", relay.port(), "bench");
  lc::Communication link;
  link.setDriver(&driver);
  if (!link.start()) {
    state.SkipWithError("no connection");
    return;
  }
  Bytes payload(length, 0x5A);
  long allocationsBefore = allocations.load();
  long frames = 0;
  for (auto _ : state) {
    if (!link.sendFrame(0, payload.data(), uint16_t(length))) {
      state.SkipWithError("write failed");
      break;
    }
    ++frames;
  }
  long allocated = allocations.load() - allocationsBefore;
  state.SetItemsProcessed(frames);
  state.counters["frames"] = double(frames);
  state.counters["allocs_per_frame"] = double(allocated) / double(frames ? frames : 1);
  link.stopAndWait();
}

}  // namespace

BENCHMARK_CAPTURE(receive, status18, uint16_t(0), size_t(18))->UseRealTime();
BENCHMARK_CAPTURE(receive, data918, uint16_t(2), size_t(918))->UseRealTime();
BENCHMARK_CAPTURE(receiveQueued, status18, uint16_t(0), size_t(18))->UseRealTime();
BENCHMARK_CAPTURE(receiveQueued, data918, uint16_t(2), size_t(918))->UseRealTime();
BENCHMARK_CAPTURE(flood, status18, uint16_t(0), size_t(18))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flood, empty, uint16_t(2), size_t(0))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(send, status18, size_t(18))->UseRealTime();
BENCHMARK_CAPTURE(send, data918, size_t(918))->UseRealTime();

BENCHMARK_MAIN();
