// The relay commands against a relay played by a test thread, with the
// waits shortened.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "commands/Changer.h"
#include "commands/Luminosity.h"
#include "commands/Reset.h"
#include "link/EventListenerBase.h"
#include "support/Recorders.h"
#include "support/ScriptedRelay.h"

namespace {

using namespace std::chrono_literals;
using lc::Changer;
using lc::Command;
using lc::Communication;
using lc::Event;
using lc::Luminosity;
using lc::Reset;
using lc::test::Bytes;
using lc::test::LogCapture;
using lc::test::ScriptedRelay;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

Command::Timing fast() {
  Command::Timing t;
  // Slices long enough that a loaded machine does not starve the relay's
  // ticks into a time-out.
  t.waitMs = 250;
  t.bound = 400ms;
  t.pause = 100ms;
  return t;
}

long msSince(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// One command run the way its script method runs it: true on success.
struct Runner {
  const char* name;
  std::function<bool(Communication&, Command::Timing)> run;
  // The lines up to the failure of the ready wait, by outcome.
  Strings timedOut;
  Strings failed;
};

const std::vector<Runner>& runners() {
  static const std::vector<Runner> all = {
      {"changer",
       [](Communication& c, Command::Timing t) { return Changer(c, t).changeTo(3) == 0; },
       {"A timeout has occured."},
       {"An error has occured."}},
      {"luminosity",
       [](Communication& c, Command::Timing t) { return Luminosity(c, t).changeTo(9); },
       {"A timeout has occured."},
       {"An error has occured."}},
      {"reset",
       [](Communication& c, Command::Timing t) { return Reset(c, t).reset(Reset::Standard, 0); },
       {"Waiting for the relay to start.", "An error has occured."},
       {"Waiting for the relay to start.", "An error has occured."}},
  };
  return all;
}

TEST(Commands, ARelayThatKeepsStateZeroTimesOutAfterTheBound) {
  for (const Runner& r : runners()) {
    SCOPED_TRACE(r.name);
    LogCapture log;
    ScriptedRelay relay;
    ASSERT_TRUE(relay.started);
    relay.state = 0;
    relay.tick(20ms);
    // Slices longer than the bound: only the bound may end this wait, even
    // when a loaded machine holds a tick back for a while.
    Command::Timing timing = fast();
    timing.waitMs = 1000;
    auto start = Clock::now();
    EXPECT_FALSE(r.run(relay.link, timing));
    long ms = msSince(start);
    EXPECT_GE(ms, 400);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(log.messages(), r.timedOut);
    EXPECT_NE(log.text().find(std::string("[") + r.name + "] "), std::string::npos);
    EXPECT_EQ(relay.driver.writeCalls(), 0);
  }
}

TEST(Commands, ChangerTellsATimeoutFromAnError) {
  // A silent relay: the first wait runs out.
  ScriptedRelay silent;
  EXPECT_EQ(Changer(silent.link, fast()).changeTo(1), Changer::TimedOut);
  // A relay that goes away.
  ScriptedRelay closing;
  auto pending =
      std::async(std::launch::async, [&] { return Changer(closing.link, fast()).changeTo(1); });
  std::this_thread::sleep_for(20ms);
  closing.driver.peerClose();
  EXPECT_EQ(pending.get(), Changer::Error);
}

// Calls the command on `relay` while `during` acts on the relay; the result
// and the milliseconds it took.
std::pair<bool, long> runWhile(const Runner& r, ScriptedRelay& relay, Command::Timing timing,
                               const std::function<void()>& during) {
  auto start = Clock::now();
  auto pending = std::async(std::launch::async, [&] { return r.run(relay.link, timing); });
  during();
  bool ok = pending.get();
  return {ok, msSince(start)};
}

TEST(Commands, ClosedDuringTheReadyWaitFailsAtOnce) {
  for (const Runner& r : runners()) {
    SCOPED_TRACE(r.name);
    LogCapture log;
    ScriptedRelay relay;
    auto [ok, ms] = runWhile(r, relay, fast(), [&] {
      std::this_thread::sleep_for(30ms);
      relay.driver.peerClose();
    });
    EXPECT_FALSE(ok);
    EXPECT_LT(ms, 380);  // under the bound
    EXPECT_EQ(log.messages(), r.failed);
  }
}

// Stops the link from the receive thread as a ready status goes out, before
// the command's own listener (registered later) sees that status.
class StopOnStatus : public lc::EventListenerBase {
 public:
  explicit StopOnStatus(Communication& link) : link_(link) {}
  void addEvent(const Event& event) override {
    if (event.kind == Event::Status) link_.stop();
  }

 private:
  Communication& link_;
};

TEST(Commands, ALinkDownOrAFailedWriteAtSendFails) {
  for (bool writeFails : {false, true}) {
    for (const Runner& r : runners()) {
      SCOPED_TRACE(std::string(r.name) + (writeFails ? " write fails" : " link down"));
      LogCapture log;
      ScriptedRelay relay;
      StopOnStatus stopper(relay.link);
      if (writeFails) {
        relay.driver.setWriteResult(false);
      } else {
        relay.link.addEventListener(stopper);
      }
      auto [ok, ms] = runWhile(r, relay, fast(), [&] {
        std::this_thread::sleep_for(30ms);
        relay.sendStatus(1);
      });
      relay.link.removeEventListener(stopper);
      EXPECT_FALSE(ok);
      EXPECT_LT(ms, 380);  // under the bound
      EXPECT_EQ(relay.driver.writeCalls(), writeFails ? 1 : 0);
      Strings expected = r.failed;
      expected.insert(expected.end() - 1, std::string(r.name) == "reset"
                                              ? "Sending the reset command."
                                              : "Sending the command.");
      EXPECT_EQ(log.messages(), expected);
    }
  }
}

TEST(Commands, SendTheirFrame) {
  // The relay answers a reset with state 0, anything else by keeping state 1.
  auto answer = [](ScriptedRelay& relay, const Bytes& f) {
    if (f.size() == 6 && f[0] == 1 && (f[4] == 1 || f[4] == 5 || f[4] == 6)) relay.setState(0);
  };
  struct Case {
    const char* name;
    std::function<bool(Communication&)> run;
    Bytes payload;
  };
  const Case cases[] = {
      {"level 1000",
       [](Communication& c) { return Luminosity(c, fast()).changeTo(1000); },
       {4, 255}},
      {"level 255", [](Communication& c) { return Luminosity(c, fast()).changeTo(255); }, {4, 255}},
      {"level 0", [](Communication& c) { return Luminosity(c, fast()).changeTo(0); }, {4, 0}},
      {"application 3",
       [](Communication& c) { return Changer(c, fast()).changeTo(3) == 0; },
       {2, 3}},
      {"application 255",
       [](Communication& c) { return Changer(c, fast()).changeTo(255) == 0; },
       {2, 255}},
      {"standard reset",
       [](Communication& c) { return Reset(c, fast()).reset(Reset::Standard, 0); },
       {1, 0}},
      {"fallback reset",
       [](Communication& c) { return Reset(c, fast()).reset(Reset::Fallback, 0); },
       {5, 0}},
      {"alternate reset",
       [](Communication& c) { return Reset(c, fast()).reset(Reset::Alternate, 7); },
       {6, 7}},
      {"unknown reset type",
       [](Communication& c) { return Reset(c, fast()).reset(Reset::ResetType(9), 0); },
       {5, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRelay relay;
    relay.tick(10ms, answer);
    EXPECT_TRUE(c.run(relay.link));
    EXPECT_EQ(relay.driver.written(), lc::test::frame(1, c.payload));
  }
}

TEST(Commands, ChangerRefusesAnApplicationAboveOneByte) {
  // Cut to a byte, 258 would switch the tiles to application 2.
  for (unsigned int application : {256u, 258u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(application);
    LogCapture log;
    ScriptedRelay relay;
    relay.tick(10ms);
    auto start = Clock::now();
    EXPECT_EQ(Changer(relay.link, fast()).changeTo(application), Changer::Error);
    EXPECT_LT(msSince(start), 100);
    EXPECT_EQ(relay.driver.writeCalls(), 0);
    const Strings lines = log.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(std::to_string(application)), std::string::npos);
    EXPECT_NE(lines[0].find("nothing was sent"), std::string::npos);
  }
}

TEST(Commands, ChangerIsDoneWhetherOrNotTheStateMoves) {
  struct Case {
    const char* name;
    bool changes;
  };
  for (const Case& c : {Case{"state moves", true}, Case{"state stays", false}}) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    ScriptedRelay relay;
    relay.tick(10ms, [&](ScriptedRelay& r, const Bytes&) {
      if (c.changes) r.setState(7);
    });
    auto start = Clock::now();
    EXPECT_EQ(Changer(relay.link, fast()).changeTo(3), Changer::Done);
    long ms = msSince(start);
    EXPECT_EQ(log.messages(), (Strings{"Sending the command.", "Changing done."}));
    if (c.changes) {
      // The pause after the change, not the bound.
      auto changed = Clock::time_point(Clock::duration(relay.changedAtNs.load()));
      long afterChange = msSince(changed);
      EXPECT_GE(afterChange, 90);
      EXPECT_LT(afterChange, 380);
      EXPECT_LT(ms, 480);
    } else {
      EXPECT_GE(ms, 500);  // bound and pause
      EXPECT_LT(ms, 1500);
    }
  }
}

TEST(Commands, ResetCountsOnlyWhatCameAfterItsFrame) {
  // A state-0 status queued while the frame was being written is dropped;
  // then the relay says `after`.
  struct Case {
    const char* name;
    std::function<void(ScriptedRelay&)> after;
    bool reset;
  };
  const Case cases[] = {
      {"nothing more", [](ScriptedRelay&) {}, false},
      {"a ready status", [](ScriptedRelay& r) { r.sendStatus(3); }, false},
      {"state 0", [](ScriptedRelay& r) { r.sendStatus(0); }, true},
      {"the link closes", [](ScriptedRelay& r) { r.driver.peerClose(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    ScriptedRelay relay;
    relay.driver.hold();
    auto pending = std::async(std::launch::async,
                              [&] { return Reset(relay.link, fast()).reset(Reset::Standard, 0); });
    // Ready statuses until one reaches the command's listener and its frame
    // is held at the gate.
    bool held = false;
    for (int i = 0; i < 100 && !held; ++i) {
      relay.sendStatus(1);
      held = relay.driver.waitHeld(10ms);
    }
    ASSERT_TRUE(held);
    // Registered after the command's listener: once it has the status, so
    // has the command's queue.
    lc::test::EventRecorder seen;
    relay.link.addEventListener(seen);
    relay.sendStatus(0);
    ASSERT_TRUE(seen.waitFor(1));
    relay.link.removeEventListener(seen);
    relay.driver.release();
    // What follows must come after the command cleared its queue, which it
    // says with its third line.
    for (auto until = Clock::now() + 5s; log.messages().size() < 3 && Clock::now() < until;)
      std::this_thread::sleep_for(1ms);
    c.after(relay);
    EXPECT_EQ(pending.get(), c.reset);
    Strings expected = {"Waiting for the relay to start.", "Sending the reset command.",
                        "Waiting for the relay to reset."};
    if (!c.reset) expected.push_back("An error has occured.");
    EXPECT_EQ(log.messages(), expected);
  }
}

TEST(Commands, CancelEndsEveryWaitAtOnce) {
  // Real waits: only the cancel can end them early.
  struct Case {
    const char* name;
    std::function<bool(ScriptedRelay&, Command&)> run;
    bool readyFirst;  // the relay is ready, so the cancel hits a later wait
    bool result;
  };
  const Case cases[] = {
      {"changer, ready wait",
       [](ScriptedRelay&, Command& c) { return static_cast<Changer&>(c).changeTo(1) == 0; }, false,
       false},
      {"changer, watch",
       [](ScriptedRelay&, Command& c) { return static_cast<Changer&>(c).changeTo(1) == 0; }, true,
       true},
      {"luminosity, pause",
       [](ScriptedRelay&, Command& c) { return static_cast<Luminosity&>(c).changeTo(1); }, true,
       true},
      {"reset, reset wait",
       [](ScriptedRelay&, Command& c) { return static_cast<Reset&>(c).reset(Reset::Standard, 0); },
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedRelay relay;
    std::unique_ptr<Command> made;
    std::string name = c.name;
    if (name.rfind("changer", 0) == 0) {
      made.reset(new Changer(relay.link));
    } else if (name.rfind("luminosity", 0) == 0) {
      made.reset(new Luminosity(relay.link));
    } else {
      made.reset(new Reset(relay.link));
    }
    auto pending = std::async(std::launch::async, [&] { return c.run(relay, *made); });
    if (c.readyFirst) {
      std::this_thread::sleep_for(20ms);
      relay.sendStatus(1);
      // The frame went out: the command is past its ready wait.
      auto deadline = Clock::now() + 2s;
      while (relay.driver.written().size() < 6 && Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
      }
    }
    std::this_thread::sleep_for(50ms);
    auto start = Clock::now();
    made->cancel();
    EXPECT_EQ(pending.get(), c.result);
    EXPECT_LT(msSince(start), 200);
  }
}

}  // namespace
