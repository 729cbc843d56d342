// The player under a 1 kHz status flood from a relay on a loopback socket:
// frames sent per status, the time from a status frame leaving the relay to
// the first frame of its burst arriving back, the CPU time of the player's
// loop thread, and heap allocations during the flood (which must be none).
// Images are added at 60 per second meanwhile, as a script would.
//
// A plain program rather than a Google Benchmark: what is measured is a
// timeline, not a loop.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "link/Communication.h"
#include "player/Player.h"
#include "topology/Topology.h"
#include "transport/TcpipDriver.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

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

using Clock = std::chrono::steady_clock;
constexpr int kStatuses = 3000;   // three seconds at 1 kHz
constexpr int kWarmUp = 100;      // statuses before the measured window
constexpr unsigned kTiles = 30;   // 11 video frames of 918 bytes per picture
constexpr long kQueueGrowth = 4;  // doublings of the event queue, 8 to 128 events

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Relay, then `tiles` square tiles in rows of 6, each joined to the one
// before it (east) or above it (south) as a real chain of cables would be.
lc::Topology installation(unsigned tiles) {
  lc::Topology t;
  t.newModule(lc::TypeRelay, 0);
  const auto join = [&](std::uint32_t a, std::uint32_t ca, std::uint32_t b, std::uint32_t cb) {
    const lc::Module* from = t.find(a);
    t.addNeighbour(a, ca, lc::TypeQuadra, b, true);
    t.addNeighbour(b, cb, from->type(), a, false);
  };
  join(0, 0, 1, 0);
  for (unsigned id = 2; id <= tiles; ++id) {
    if ((id - 1) % 6 == 0) {
      join(id - 6, 2, id, 0);
    } else {
      join(id - 1, 1, id, 3);
    }
  }
  return t;
}

struct Timeline {
  std::vector<Clock::time_point> statusSent;
  std::vector<int> framesAfter;               // pixel frames between status k and k + 1
  std::vector<Clock::time_point> firstFrame;  // first pixel frame after status k
  std::map<std::uint16_t, long> frameTypes;
};

// Accepts the player's link, then sends a status frame every millisecond on
// an absolute schedule and reads the pixel frames between two of them.
void relay(int listener, Timeline& out, long& allocationsInWindow) {
  const int client = ::accept(listener, nullptr, nullptr);
  int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const unsigned char status[] = {0, 0,    18, 0,   1, 0,  1, 0, 0, 0, 0,
                                  0, 0x96, 3,  128, 0, 60, 0, 0, 0, 8, 0};
  std::vector<unsigned char> pending(1 << 20);
  std::size_t have = 0;
  const auto start = Clock::now() + std::chrono::milliseconds(50);
  long before = 0;
  for (int k = 0; k < kStatuses; ++k) {
    if (k == kWarmUp) before = allocations.load();
    const auto tick = start + std::chrono::microseconds(1000 * k);
    std::this_thread::sleep_until(tick);
    out.statusSent[k] = Clock::now();
    if (::send(client, status, sizeof status, MSG_NOSIGNAL) != sizeof status) break;
    const auto next = tick + std::chrono::microseconds(1000);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{client, POLLIN, 0};
      const timespec wait{0, static_cast<long>(left.count()) * 1000};
      if (::ppoll(&p, 1, &wait, nullptr) <= 0) continue;
      const ssize_t n = ::recv(client, pending.data() + have, pending.size() - have, 0);
      if (n <= 0) break;
      const auto now = Clock::now();
      have += static_cast<std::size_t>(n);
      std::size_t used = 0;
      while (have - used >= 4) {
        const unsigned length = pending[used + 2] | (pending[used + 3] << 8);
        if (have - used < 4 + length) break;
        const std::uint16_t type =
            static_cast<std::uint16_t>(pending[used] | (pending[used + 1] << 8));
        if (out.framesAfter[k]++ == 0) out.firstFrame[k] = now;
        ++out.frameTypes[type];
        used += 4 + length;
      }
      std::copy(pending.begin() + static_cast<std::ptrdiff_t>(used),
                pending.begin() + static_cast<std::ptrdiff_t>(have), pending.begin());
      have -= used;
    }
  }
  allocationsInWindow = allocations.load() - before;
  ::close(client);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main() {
  lc::Log::log().setMode(lc::Log::Simple);
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listener, 1);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);

  Timeline timeline;
  timeline.statusSent.resize(kStatuses);
  timeline.framesAfter.assign(kStatuses, 0);
  timeline.firstFrame.resize(kStatuses);
  long relayWindowAllocations = 0;
  std::thread relayThread([&] { relay(listener, timeline, relayWindowAllocations); });

  lc::TcpipDriver driver("127.0.0.1", ntohs(a.sin_port), "bench");
  lc::Communication link;
  link.setDriver(&driver);
  if (!link.start()) {
    std::fprintf(stderr, "no link\n");
    return 1;
  }
  const lc::Topology topology = installation(kTiles);
  lc::Player player(link);
  if (player.initScreen(topology, 0, lc::Buffer::VideoMode, false) != lc::Player::Ready) return 1;
  const std::uint32_t width = player.buffer().width();
  const std::uint32_t height = player.buffer().height();

  double loopCpu = 0;
  double loopWall = 0;
  std::thread loop([&] {
    const double cpu0 = threadCpuSeconds();
    const auto wall0 = Clock::now();
    while (player.run()) {
    }
    loopCpu = threadCpuSeconds() - cpu0;
    loopWall = std::chrono::duration<double>(Clock::now() - wall0).count();
  });

  // A script's 60 images per second, meanwhile.
  std::vector<unsigned char> image(4u * width * height);
  std::vector<double> addCosts;
  addCosts.reserve(400);
  const auto end = Clock::now() + std::chrono::milliseconds(kStatuses + 100);
  for (unsigned n = 0; Clock::now() < end; ++n) {
    std::fill(image.begin(), image.end(), static_cast<unsigned char>(n));
    const auto t0 = Clock::now();
    player.addImage(image.data(), static_cast<unsigned>(image.size()), lc::Data::RGB);
    addCosts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    std::this_thread::sleep_for(std::chrono::microseconds(16667));
  }
  relayThread.join();
  loop.join();  // the relay closed: the link's end ends the loop
  link.stopAndWait();

  // Frames per status: the first request sends 2 bursts, then every second
  // status one burst of 2 (pace 1).
  std::map<int, int> perStatus;
  std::vector<double> latencies;
  for (int k = kWarmUp; k < kStatuses - 1; ++k) {
    ++perStatus[timeline.framesAfter[k]];
    if (timeline.framesAfter[k] > 0) {
      latencies.push_back(
          std::chrono::duration<double, std::micro>(timeline.firstFrame[k] - timeline.statusSent[k])
              .count());
    }
  }
  long total = 0;
  for (int k = 0; k < kStatuses; ++k) total += timeline.framesAfter[k];
  const lc::Player::Counters c = player.counters();

  std::printf("player under a 1 kHz status flood, %u tiles, %ux%u screen, %zu frames per picture\n",
              kTiles, width, height, player.buffer().frameCount());
  std::printf(
      "  statuses sent %d, answered %llu; pixel frames received %ld (sent %llu, "
      "slots skipped %llu)\n",
      kStatuses, static_cast<unsigned long long>(c.statusEvents), total,
      static_cast<unsigned long long>(c.framesSent),
      static_cast<unsigned long long>(c.slotsSkipped));
  // The pacing rules for pace 1 (bursts of 2): 4 slots at the first
  // status, 2 at every second one after it; one slot in 101 left out.
  const unsigned long long n = c.statusEvents;
  const unsigned long long slots = n == 0 ? 0 : 4 + 2 * ((n - 1) / 2);
  const unsigned long long expected = slots - slots / 101;
  std::printf("  frames expected by the pacing rules: %llu (%s)\n", expected,
              expected == static_cast<unsigned long long>(total) ? "exact" : "MISMATCH");
  std::printf("  frames per status (after warm-up; a late burst counts at the next status):");
  for (const auto& [frames, count] : perStatus) std::printf(" %d x%d", frames, count);
  std::printf("\n  first statuses:");
  for (int k = 0; k < 8; ++k) std::printf(" %d", timeline.framesAfter[k]);
  std::printf("\n  frame types:");
  for (const auto& [type, count] : timeline.frameTypes) std::printf(" %u x%ld", type, count);
  std::printf(
      "\n  status sent -> first frame of its burst received: p50 %.0f us, p99 %.0f us, "
      "max %.0f us (%zu bursts)\n",
      percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0),
      latencies.size());
  std::printf("  player loop thread: %.1f ms CPU in %.2f s (%.1f ms per second)\n", loopCpu * 1e3,
              loopWall, loopWall > 0 ? loopCpu * 1e3 / loopWall : 0.0);
  std::printf("  addImage (%zu calls): p50 %.1f us, max %.1f us\n", addCosts.size(),
              percentile(addCosts, 0.5), percentile(addCosts, 1.0));
  // Nothing is allocated per frame; the loop's event queue may double a few
  // times when a preempted loop lets status frames pile up, and keeps that.
  std::printf(
      "  heap allocations during the measured window: %ld (at most %ld allowed: queue growth)\n",
      relayWindowAllocations, kQueueGrowth);
  ::close(listener);
  return relayWindowAllocations <= kQueueGrowth &&
                 expected == static_cast<unsigned long long>(total)
             ? 0
             : 1;
}
