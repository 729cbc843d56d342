// The upload of loader streams against a scripted relay on an in-process link.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "firmware/Hex.h"
#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"
#include "firmware/Uploader.h"
#include "support/HexSupport.h"
#include "support/RespondingDriver.h"
#include "util/ProgressPacer.h"

namespace {

using namespace std::chrono_literals;
using lc::Communication;
using lc::LcApp;
using lc::LoaderStream;
using lc::Uploader;
using lc::test::RespondingDriver;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

Uploader::Timing fast() {
  Uploader::Timing t;  // the real 5 ms pause: the spacing is what is tested
  t.waitMs = 250;
  t.bound = 300ms;
  t.settle = 150ms;
  return t;
}

LcApp appWithBlock(uint32_t address) {
  lc::Hex hex;
  for (uint32_t i = 0; i < lc::Hex::kBlockSize; ++i) hex.storeData(address + i, uint8_t(i * 7));
  const std::string path = lc::test::tempPath("uploader.hex");
  EXPECT_EQ(hex.saveToFile(path), lc::Hex::Ok);
  LcApp app;
  EXPECT_EQ(app.addHex("delta", path), LcApp::Opened);
  return app;
}

LoaderStream appOnly(const LcApp& app) {
  LoaderStream loader(app);
  loader.genAppOnly();
  return loader;
}

// A link to the scripted relay, started, with status frames every 20 ms.
struct Rig {
  explicit Rig(RespondingDriver::Handler handler = {}) {
    driver.onFrame(std::move(handler));
    link.setDriver(&driver);
    started = link.start();
    driver.status(driver.state.load());
    driver.startTicker(20ms);
    // Until the first status is in, a watch only learns the state word.
    const Clock::time_point limit = Clock::now() + 2s;
    while (started && link.statusCount() == 0 && Clock::now() < limit) {
      std::this_thread::sleep_for(1ms);
    }
  }
  ~Rig() {
    driver.stopTicker();
    link.stopAndWait();
  }
  RespondingDriver driver;
  Communication link;
  bool started = false;
};

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

TEST(Uploader, FramesAreWholePacketsPacedAtLeastThePauseApart) {
  const LoaderStream loader = appOnly(appWithBlock(0xA0000400));
  const size_t count = loader.data().size() / LoaderStream::kPacketSize;
  ASSERT_EQ(count, 28u);
  Rig rig;
  ASSERT_TRUE(rig.started);
  Uploader uploader(rig.link, fast());
  const Clock::time_point begin = Clock::now();
  ASSERT_TRUE(uploader.send(loader));
  // The pause follows the last frame as well.
  EXPECT_GE(msSince(begin), 5.0 * count);

  const auto frames = rig.driver.frames();
  const auto times = rig.driver.times();
  ASSERT_EQ(frames.size(), count);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(frames[i].size(), 132u) << i;
    EXPECT_EQ(Bytes(frames[i].begin(), frames[i].begin() + 4), (Bytes{3, 0, 0x80, 0})) << i;
    EXPECT_EQ(std::memcmp(frames[i].data() + 4, loader.data().data() + i * 128, 128), 0) << i;
    if (i > 0) {
      EXPECT_GE(times[i] - times[i - 1], 5ms) << i;
    }
  }
}

// What the relay does once the last packet has been written, and what the
// upload makes of it.
TEST(Uploader, UploadOutcomeFollowsTheRelay) {
  enum Relay { Switch, KeepState, Close, DataOnly, Retire };
  struct Case {
    const char* name;
    bool withImage;
    Relay relay;
    Uploader::Result expected;
    double minMs, maxMs;  // from the last frame to the result
  } cases[] = {
      // Answering inside the last pause is still seen; the settle follows.
      {"switch at once", true, Switch, Uploader::Changed, 150, 280},
      {"empty package", false, Switch, Uploader::Changed, 150, 280},
      {"unchanged state", true, KeepState, Uploader::NoChange, 295, 450},
      {"empty package, unchanged", false, KeepState, Uploader::NoChange, 295, 450},
      {"data only", true, DataOnly, Uploader::NoChange, 295, 450},
      {"link closed", true, Close, Uploader::Closed, 0, 120},
      {"link retired", true, Retire, Uploader::Closed, 0, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LoaderStream loader = appOnly(c.withImage ? appWithBlock(0xA0000000) : LcApp{});
    const size_t last = loader.data().size() / LoaderStream::kPacketSize - 1;
    Communication* linkOf = nullptr;
    RespondingDriver* driverOf = nullptr;
    std::thread retirer;
    Rig rig([&](const Bytes&, size_t index) {
      if (index != last) return;
      if (c.relay == Switch) {
        driverOf->state = 9;
        driverOf->status(9);
      } else if (c.relay == Close) {
        driverOf->peerClose();
      } else if (c.relay == Retire) {
        retirer = std::thread([linkOf] { linkOf->retire(); });
      }
    });
    linkOf = &rig.link;
    driverOf = &rig.driver;
    ASSERT_TRUE(rig.started);
    // Data keeps the link up while no status frame comes at all.
    std::atomic<bool> feeding{c.relay == DataOnly};
    std::thread dataFeed;
    if (c.relay == DataOnly) {
      rig.driver.stopTicker();
      dataFeed = std::thread([&] {
        while (feeding) {
          rig.driver.data({0, 1});
          std::this_thread::sleep_for(20ms);
        }
      });
    }
    Uploader uploader(rig.link, fast());
    const Uploader::Result result = uploader.upload(loader);
    const Clock::time_point end = Clock::now();
    feeding = false;
    if (dataFeed.joinable()) dataFeed.join();
    if (retirer.joinable()) retirer.join();
    const auto times = rig.driver.times();
    ASSERT_EQ(times.size(), last + 1);
    const double ms = std::chrono::duration<double, std::milli>(end - times.back()).count();
    EXPECT_EQ(result, c.expected);
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    if (!c.withImage) {
      // Only the size packet (no unit) and the start-RAM packet.
      const auto frames = rig.driver.frames();
      EXPECT_EQ(frames[0][4], LoaderStream::CmdSize);
      EXPECT_EQ(frames[0][4 + 18], 0);
      EXPECT_EQ(frames[1][4], LoaderStream::CmdStartRam);
    }
  }
}

// A link that goes down, or a cancel from an owner whose runtime goes away,
// ends the stream within the pause under way, and nothing is watched after.
TEST(Uploader, LinkDownOrCancelMidStreamStopsAtOnceWithoutWatching) {
  const LoaderStream loader = appOnly(appWithBlock(0xA0000000));
  enum Fault { WriteFails, RelayCloses, Cancel };
  for (Fault fault : {WriteFails, RelayCloses, Cancel}) {
    SCOPED_TRACE(fault == WriteFails    ? "write fails"
                 : fault == RelayCloses ? "relay closes"
                                        : "cancel");
    RespondingDriver* driverOf = nullptr;
    Uploader* uploaderOf = nullptr;
    Rig rig([&](const Bytes&, size_t index) {
      if (index != 5) return;
      if (fault == WriteFails) {
        driverOf->setWriteResult(false);
      } else if (fault == RelayCloses) {
        driverOf->peerClose();
      } else {
        uploaderOf->cancel();
      }
    });
    driverOf = &rig.driver;
    ASSERT_TRUE(rig.started);
    Uploader::Timing timing = fast();
    timing.bound = 5s;
    timing.waitMs = 5000;
    Uploader uploader(rig.link, timing);
    uploaderOf = &uploader;
    const Clock::time_point begin = Clock::now();
    EXPECT_EQ(uploader.upload(loader), Uploader::NotSent);
    EXPECT_LT(msSince(begin), 1000);
    // The write after the fault failed and nothing was tried after it; a
    // cancel ends the pause after the frame that saw it, then completes the
    // unit in progress (the first unit's header is frame 1, its 24 data
    // packets frames 2 to 25) and ends the stream with a reset, so the
    // tiles wait for a new stream instead of the rest of this one.
    const auto frames = rig.driver.frames();
    if (fault == Cancel) {
      ASSERT_EQ(frames.size(), 27u);
      for (size_t i = 6; i < 26; ++i) {
        EXPECT_EQ(std::memcmp(frames[i].data() + 4, loader.data().data() + i * 128, 128), 0) << i;
      }
      EXPECT_EQ(Bytes(frames[26].begin() + 4, frames[26].begin() + 12),
                (Bytes{0x28, 0x28, 0x28, 0, 0, 0, 0xFF, 0xFF}));
    } else {
      EXPECT_LT(frames.size(), 28u);
      EXPECT_GE(frames.size(), 6u);
    }
  }
}

TEST(Uploader, WaitCloseSeesOnlyTheEndOfTheLink) {
  for (bool closes : {false, true}) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    Uploader uploader(rig.link, fast());
    std::thread later([&] {
      std::this_thread::sleep_for(50ms);
      if (closes) {
        rig.driver.peerClose();
      } else {
        rig.driver.state = 4;  // a change is not an end
      }
    });
    const Clock::time_point begin = Clock::now();
    EXPECT_EQ(uploader.waitClose(), closes);
    EXPECT_LT(msSince(begin), closes ? 250 : 500);
    later.join();
  }
}

// A link that ended before the call: its end went out before any listener
// of the call was there, so only the link's own state can tell.
TEST(Uploader, ALinkAlreadyDownIsSeenAtOnce) {
  for (bool started : {false, true}) {
    SCOPED_TRACE(started ? "ended" : "never started");
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.driver.stopTicker();
    if (started) {
      rig.driver.peerClose();
      rig.link.join();
    } else {
      rig.link.stopAndWait();
    }
    ASSERT_FALSE(rig.link.running());
    Uploader::Timing timing = fast();
    timing.bound = 5s;
    timing.waitMs = 5000;
    Uploader uploader(rig.link, timing);
    const Clock::time_point begin = Clock::now();
    EXPECT_FALSE(uploader.waitChange());
    EXPECT_TRUE(uploader.waitClose());
    // Nothing to write: the stream alone does not find the link down.
    EXPECT_EQ(uploader.upload(LoaderStream(LcApp{})), Uploader::NotSent);
    EXPECT_FALSE(uploader.send(LoaderStream(LcApp{})));
    EXPECT_EQ(uploader.upload(appOnly(appWithBlock(0xA0000000))), Uploader::NotSent);
    EXPECT_LT(msSince(begin), 500);
  }
}

// Until the run's first status frame, the link's state word is an earlier
// run's (or 0): that frame tells the word and is no change; only a later one
// that differs is. An upload started before the first status of a fresh or
// restarted link must not report tiles that never switched as switched.
TEST(Uploader, TheFirstStatusOfARunIsNoChange) {
  struct Case {
    const char* name;
    uint16_t earlierRun;  // the state word a previous run ended with; 0: none
    std::vector<uint16_t> states;
    Uploader::Result expected;
  } cases[] = {
      {"fresh link, state stays", 0, {1, 1, 1}, Uploader::NoChange},
      {"restarted link, state stays", 5, {1, 1, 1}, Uploader::NoChange},
      {"fresh link, state changes later", 0, {1, 1, 9}, Uploader::Changed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RespondingDriver driver;
    Communication link;
    ASSERT_TRUE(link.setDriver(&driver));
    if (c.earlierRun != 0) {
      ASSERT_TRUE(link.start());
      driver.status(c.earlierRun);
      const Clock::time_point limit = Clock::now() + 2s;
      while (link.lastState() != c.earlierRun && Clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
      }
      ASSERT_EQ(link.lastState(), c.earlierRun);
      link.stopAndWait();
    }
    ASSERT_TRUE(link.start());
    std::thread relay([&] {
      std::this_thread::sleep_for(60ms);  // the upload is armed by now
      for (uint16_t state : c.states) {
        driver.status(state);
        std::this_thread::sleep_for(20ms);
      }
    });
    Uploader uploader(link, fast());
    EXPECT_EQ(uploader.upload(appOnly(LcApp{})), c.expected);
    relay.join();
    link.stopAndWait();
  }
}

TEST(Uploader, CancelCutsTheSettlePauseShort) {
  Rig rig;
  ASSERT_TRUE(rig.started);
  Uploader::Timing timing = fast();
  timing.settle = 10s;
  Uploader uploader(rig.link, timing);
  std::thread canceller([&] {
    // Changed once the watch has read the state word it compares with: a
    // status of the new state before that would be no change to it.
    std::this_thread::sleep_for(50ms);
    rig.driver.state = 6;
    std::this_thread::sleep_for(50ms);
    uploader.cancel();
  });
  const Clock::time_point begin = Clock::now();
  EXPECT_TRUE(uploader.waitChange());
  EXPECT_LT(msSince(begin), 2000);
  canceller.join();
}

TEST(Uploader, ProgressCountsPacketsThinnedToTheInterval) {
  const LoaderStream loader = appOnly(appWithBlock(0xA0000000));  // 28 packets, >= 140 ms
  Rig rig;
  ASSERT_TRUE(rig.started);
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  std::vector<Clock::time_point> at;
  lc::ProgressPacer pacer(
      [&](uint32_t sent, uint32_t total) {
        reports.emplace_back(sent, total);
        at.push_back(Clock::now());
      },
      40ms);
  Uploader uploader(rig.link, fast());
  ASSERT_TRUE(uploader.send(loader, &pacer));
  pacer.finish();
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front(), std::make_pair(1u, 28u));
  EXPECT_EQ(reports.back(), std::make_pair(28u, 28u));
  for (size_t i = 1; i < reports.size(); ++i) {
    EXPECT_GT(reports[i].first, reports[i - 1].first);
    EXPECT_GE(at[i] - at[i - 1], 40ms);
  }
}

// A measurement, not a check: run with --gtest_also_run_disabled_tests.
// A full RAM image of one type is 3203 packets, 16.01 s of pauses at least.
TEST(Uploader, DISABLED_FullUploadWallTime) {
  lc::Hex hex;
  for (uint32_t a = 0; a < 128 * 1024; ++a) hex.storeData(0xA0000000 + a, uint8_t(a * 7));
  const std::string path = lc::test::tempPath("uploader-full.hex");
  ASSERT_EQ(hex.saveToFile(path), lc::Hex::Ok);
  LcApp app;
  ASSERT_EQ(app.addHex("delta", path), LcApp::Opened);
  const LoaderStream loader = appOnly(app);
  ASSERT_EQ(loader.data().size() / 128, 3203u);
  Rig rig;
  ASSERT_TRUE(rig.started);
  Uploader uploader(rig.link);
  const Clock::time_point begin = Clock::now();
  ASSERT_TRUE(uploader.send(loader));
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const auto times = rig.driver.times();
  const double span = std::chrono::duration<double>(times.back() - times.front()).count();
  std::printf("3203 packets: %.3f s in all, %.3f s first to last frame, floor %.3f s\n", seconds,
              span, 3202 * 0.005);
  // Where the excess goes: each gap beyond the pause is the wake-up's delay
  // plus the time the write took.
  std::vector<double> excess;
  for (size_t i = 1; i < times.size(); ++i) {
    excess.push_back(std::chrono::duration<double, std::micro>(times[i] - times[i - 1]).count() -
                     5000.0);
  }
  std::sort(excess.begin(), excess.end());
  double sum = 0;
  for (double e : excess) sum += e;
  std::printf("gap beyond 5 ms: mean %.1f us, median %.1f, p90 %.1f, p99 %.1f, min %.1f\n",
              sum / double(excess.size()), excess[excess.size() / 2],
              excess[excess.size() * 9 / 10], excess[excess.size() * 99 / 100], excess.front());
}

}  // namespace
