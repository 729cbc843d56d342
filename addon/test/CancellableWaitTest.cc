#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "transport/CancellableWait.h"
#include "transport/Pipe.h"

namespace {

using lc::CancellableWait;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A connected pair: a byte written into `peer` makes `fd` readable.
struct Pair {
  Pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
  ~Pair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int fd() const { return fds[0]; }
  void poke() const { (void)!::write(fds[1], "d", 1); }
  int fds[2] = {-1, -1};
};

TEST(CancellableWait, Results) {
  struct Case {
    const char* name;
    // Runs before the wait, on the waiting thread; returns the epoch to wait with.
    std::function<uint64_t(CancellableWait&, Pair&)> before;
    int timeoutMs;
    bool cancelDuring;  // another thread cancels 50 ms into the wait
    bool onFd;
    CancellableWait::Result expected;
    double minMs, maxMs;
  };
  auto current = [](CancellableWait& w, Pair&) { return w.epoch(); };
  const Case cases[] = {
      {"data waiting",
       [](CancellableWait& w, Pair& p) {
         p.poke();
         return w.epoch();
       },
       1000, false, true, CancellableWait::Ready, 0, 250},
      {"data with no limit",
       [](CancellableWait& w, Pair& p) {
         p.poke();
         return w.epoch();
       },
       CancellableWait::kForever, false, true, CancellableWait::Ready, 0, 250},
      {"zero time-out still looks",
       [](CancellableWait& w, Pair& p) {
         p.poke();
         return w.epoch();
       },
       0, false, true, CancellableWait::Ready, 0, 250},
      {"silence", current, 80, false, true, CancellableWait::TimedOut, 79, 600},
      {"zero time-out, silence", current, 0, false, true, CancellableWait::TimedOut, 0, 250},
      {"cancel before",
       [](CancellableWait& w, Pair&) {
         w.cancel();
         return w.epoch();
       },
       5000, false, true, CancellableWait::Cancelled, 0, 250},
      {"cancel wins over data",
       [](CancellableWait& w, Pair& p) {
         p.poke();
         w.cancel();
         return w.epoch();
       },
       5000, false, true, CancellableWait::Cancelled, 0, 250},
      {"cancel during", current, CancellableWait::kForever, true, true, CancellableWait::Cancelled,
       40, 300},
      {"cancel during a plain pause", current, 5000, true, false, CancellableWait::Cancelled, 40,
       300},
      // The operation read the epoch, then a cancel and a reset came before
      // its wait began: the cancel still counts for it.
      {"cancel between check and wait",
       [](CancellableWait& w, Pair&) {
         uint64_t e = w.epoch();
         w.cancel();
         w.reset();
         return e;
       },
       5000, false, true, CancellableWait::Cancelled, 0, 250},
      // After a reset, a new operation is not touched by the old cancel.
      {"reset lifts a cancel",
       [](CancellableWait& w, Pair&) {
         w.cancel();
         w.reset();
         return w.epoch();
       },
       60, false, true, CancellableWait::TimedOut, 59, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CancellableWait wait;
    Pair pair;
    uint64_t epoch = c.before(wait, pair);
    // Timed from before the canceller exists: a slow thread start (under a
    // sanitizer) must not eat into the 50 ms it waits.
    auto t0 = Clock::now();
    std::thread canceller;
    if (c.cancelDuring) {
      canceller = std::thread([&] {
        std::this_thread::sleep_for(50ms);
        wait.cancel();
      });
    }
    CancellableWait::Result r = wait.wait(c.onFd ? pair.fd() : -1, POLLIN, c.timeoutMs, epoch);
    double ms = msSince(t0);
    if (canceller.joinable()) canceller.join();
    EXPECT_EQ(r, c.expected);
    EXPECT_GE(ms, c.minMs);
    EXPECT_LT(ms, c.maxMs);
  }
}

TEST(CancellableWait, ClosedDescriptorFails) {
  CancellableWait wait;
  // Opens the wake pipe first, so it cannot take the numbers closed below.
  EXPECT_EQ(wait.wait(-1, 0, 0), CancellableWait::TimedOut);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(wait.wait(fds[0], POLLIN, 1000), CancellableWait::Failed);
}

// One cancel ends every waiter at once, not only the one that happens to
// take the wake byte.
TEST(CancellableWait, OneCancelEndsEveryWaiter) {
  CancellableWait wait;
  Pair pair;
  std::vector<std::future<CancellableWait::Result>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(std::async(std::launch::async, [&] {
      return wait.wait(pair.fd(), POLLIN, CancellableWait::kForever);
    }));
  }
  std::this_thread::sleep_for(50ms);
  wait.cancel();
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(w.get(), CancellableWait::Cancelled);
  }
}

TEST(CancellableWait, SleepRunsItsTimeOrEndsOnCancel) {
  CancellableWait wait;
  auto t0 = Clock::now();
  EXPECT_TRUE(wait.sleepFor(60));
  EXPECT_GE(msSince(t0), 59);

  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    wait.cancel();
  });
  t0 = Clock::now();
  EXPECT_FALSE(wait.sleepFor(10000));
  EXPECT_LT(msSince(t0), 300);
  canceller.join();
  EXPECT_FALSE(wait.sleepFor(10000));  // still cancelled until reset
  wait.reset();
  EXPECT_TRUE(wait.sleepFor(1));
}

// A deadline on the steady clock is never early, and a pause shorter than a
// millisecond is not rounded up to a whole one: the quickest of a few tries
// stays below it even on a loaded machine.
TEST(CancellableWait, DeadlinesAreNeverEarlyNorRoundedToMilliseconds) {
  struct Case {
    const char* name;
    Clock::duration after;
    bool data;
    CancellableWait::Result expected;
  };
  const Case cases[] = {
      {"passed, silence", -1ms, false, CancellableWait::TimedOut},
      {"passed, data still seen", -1ms, true, CancellableWait::Ready},
      {"300 us", 300us, false, CancellableWait::TimedOut},
      {"2.5 ms", 2500us, false, CancellableWait::TimedOut},
      {"data before the deadline", 5s, true, CancellableWait::Ready},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CancellableWait wait;
    Pair pair;
    if (c.data) pair.poke();
    Clock::duration quickest = Clock::duration::max();
    for (int i = 0; i < 20; ++i) {
      const Clock::time_point t0 = Clock::now();
      const Clock::time_point deadline = t0 + c.after;
      EXPECT_EQ(wait.waitUntil(pair.fd(), POLLIN, deadline, wait.epoch()), c.expected);
      const Clock::time_point woke = Clock::now();
      if (c.expected == CancellableWait::TimedOut) EXPECT_GE(woke, deadline);
      quickest = std::min(quickest, woke - t0);
    }
    if (c.after < 1ms) EXPECT_LT(quickest, 1ms);
  }

  // A cancel cuts a pause to a deadline short, as any other wait.
  CancellableWait wait;
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    wait.cancel();
  });
  const Clock::time_point t0 = Clock::now();
  EXPECT_FALSE(wait.sleepUntil(t0 + 10s, wait.epoch()));
  EXPECT_LT(msSince(t0), 300);
  canceller.join();
}

// Runs in a child process: returns the exit code, 0 when all held.
struct Canceller {
  CancellableWait wait;
  std::atomic<bool> go{false};
};

void* cancelSoon(void* arg) {
  auto* c = static_cast<Canceller*>(arg);
  while (!c->go.load()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  c->wait.cancel();
  return nullptr;
}

int exhaustDescriptorsThenWait() {
  // A plain thread, made before the descriptors run out: the undefined
  // behaviour checker's type checks of std::thread's internals need a
  // descriptor of their own and would report a false error.
  Canceller c;
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, cancelSoon, &c) != 0) return 9;
  rlimit limit{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    c.go = true;
    ::pthread_join(thread, nullptr);
    return 10;
  }
  while (::dup(0) >= 0) {
  }
  lc::Pipe pipe;
  pipe.open();
  const bool opened = pipe.opened() || pipe.readFd() != -1;
  c.go = true;
  auto t0 = Clock::now();
  bool slept = c.wait.sleepFor(10000);
  double ms = msSince(t0);
  ::pthread_join(thread, nullptr);
  if (opened) return 11;
  if (slept) return 12;
  if (ms > 1000) return 13;
  return 0;
}

// With no descriptor left, the wake pipe cannot be made: it must say so, and
// a cancel must still end a wait within a slice instead of never.
TEST(CancellableWait, WithoutDescriptorsThePipeIsNotOpenedAndCancelStillEndsWaits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(exhaustDescriptorsThenWait()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
