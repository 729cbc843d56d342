// File transfer to the relay's SD card against a scripted relay.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "commands/SdSender.h"
#include "support/RespondingDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::Communication;
using lc::SdSender;
using lc::test::LogCapture;
using lc::test::RespondingDriver;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

SdSender::Timing fast() {
  SdSender::Timing t;
  t.waitMs = 150;
  t.bound = 400ms;
  return t;
}

std::filesystem::path tempDir() {
  static const std::filesystem::path dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("lc-sd-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return dir;
}

Bytes content(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t(i * 31 + i / 256);
  return b;
}

std::string writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path.string();
}

Bytes le(uint8_t code, uint32_t value) {
  return {code, uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// The relay's side of the transfer; `mode` names the fault it plays.
struct SdRelay {
  enum Mode {
    Normal,
    FailReady,     // Failed instead of Ready
    NoAnswer,      // statuses only after the write-file frame
    Silent,        // nothing at all, not even statuses
    StaleAck,      // acknowledges one byte less than it took
    ShortAck,      // the second acknowledgement lacks its last byte
    FailAck,       // Failed instead of the first acknowledgement
    FailReceived,  // Failed at the end of the first cycle
    NoDone,        // everything but the final Done
  };

  void onFrame(const Bytes& payload, size_t index) {
    if (index == 0) {
      announced = uint32_t(payload[1]) | uint32_t(payload[2]) << 8 | uint32_t(payload[3]) << 16 |
                  uint32_t(payload[4]) << 24;
      name.assign(reinterpret_cast<const char*>(payload.data()) + 6, payload[5]);
      if (mode == FailReady) {
        driver->data(le(SdSender::Failed, 0));
      } else if (mode == NoAnswer || mode == Silent) {
        if (mode == Silent) driver->stopTicker();
      } else {
        driver->data(le(SdSender::Ready, announced));
        // Nothing to wait for: done straight after ready.
        if (announced == 0) driver->data(le(SdSender::Done, 0));
      }
      return;
    }
    ++dataFrames;
    const size_t take = std::min<size_t>(128, announced - file.size());
    file.insert(file.end(), payload.begin(), payload.begin() + long(take));
    const uint32_t remaining = announced - uint32_t(file.size());
    if (file.size() % 4096 == 0 || remaining == 0) {
      driver->data(le(mode == FailReceived ? SdSender::Failed : SdSender::Received, remaining));
      if (remaining == 0 && mode != NoDone) driver->data(le(SdSender::Done, 0));
    } else if (mode == FailAck) {
      driver->data(le(SdSender::Failed, 0));
    } else if (mode == StaleAck) {
      driver->data(le(0, remaining + 1));
    } else if (mode == ShortAck && dataFrames == 2) {
      Bytes cut = le(0, remaining);
      cut.pop_back();
      driver->data(cut);
    } else {
      driver->data(le(0, remaining));
    }
  }

  Mode mode = Normal;
  RespondingDriver* driver = nullptr;
  uint32_t announced = 0;
  std::string name;
  Bytes file;
  int dataFrames = 0;
};

struct Rig {
  explicit Rig(SdRelay::Mode mode) {
    relay.mode = mode;
    relay.driver = &driver;
    driver.onFrame([this](const Bytes& p, size_t i) { relay.onFrame(p, i); });
    link.setDriver(&driver);
    started = link.start();
    driver.startTicker(20ms);
  }
  ~Rig() {
    driver.stopTicker();
    link.stopAndWait();
  }
  RespondingDriver driver;
  SdRelay relay;
  Communication link;
  bool started = false;
};

TEST(SdSender, TransfersFilesOfEveryShape) {
  struct Case {
    const char* file;  // under the test directory
    size_t size;
    std::string name;  // given to start; empty for the base name
    std::string stored;
  } cases[] = {
      {"empty.bin", 0, "", "empty.bin"},
      {"small.bin", 130, "", "small.bin"},
      {"cycle.bin", 4096, "", "cycle.bin"},
      {"almost2k.bin", 2047, "", "almost2k.bin"},
      {"more.bin", 4096 * 2 + 300, "", "more.bin"},
      {"D:/media/clip.bin", 10, "", "clip.bin"},
      {"named.bin", 5, std::string(122, 'n'), std::string(122, 'n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes bytes = content(c.size);
    const std::string path = writeFile(tempDir() / c.file, bytes);
    Rig rig(SdRelay::Normal);
    ASSERT_TRUE(rig.started);
    LogCapture log;
    SdSender sender(rig.link, fast());
    EXPECT_TRUE(sender.start(path, c.name));

    EXPECT_EQ(rig.relay.announced, c.size);
    EXPECT_EQ(rig.relay.name, c.stored);
    EXPECT_EQ(rig.relay.file, bytes);
    const auto frames = rig.driver.frames();
    ASSERT_EQ(frames.size(), 1 + (c.size + 127) / 128);
    for (const Bytes& f : frames) {
      ASSERT_EQ(f.size(), 132u);
      EXPECT_EQ(Bytes(f.begin(), f.begin() + 4), (Bytes{3, 0, 0x80, 0}));
    }
    EXPECT_EQ(frames[0][4], 1);
    const std::string text = log.text();
    const std::string base = std::filesystem::path(c.file).filename().string();
    EXPECT_NE(text.find("Sending the file " + base + " of size " + std::to_string(c.size / 1024) +
                        "ko.\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
  }
}

TEST(SdSender, RelayFaultsEndTheTransferWithTheirLine) {
  struct Case {
    SdRelay::Mode mode;
    size_t size;
    const char* line;
    size_t frames;  // written in all
    double minMs, maxMs;
  } cases[] = {
      {SdRelay::FailReady, 300,
       "A Communication error occured while waiting the relay is ready to receive.", 1, 0, 100},
      {SdRelay::NoAnswer, 300, "A timeout occured while waiting the relay is ready to receive.", 1,
       390, 600},
      // No event at all within one slice is a failure of the link, not a time-out.
      {SdRelay::Silent, 300,
       "A Communication error occured while waiting the relay is ready to receive.", 1, 140, 300},
      {SdRelay::StaleAck, 130, "A timeout occured while waiting to send the next data.", 2, 390,
       600},
      {SdRelay::ShortAck, 384, "A timeout occured while waiting to send the next data.", 3, 390,
       600},
      {SdRelay::FailAck, 300, "A communication error occured while waiting to send the next data.",
       2, 0, 100},
      {SdRelay::FailReceived, 5000,
       "An error occured while waiting the relay finished to receive the data.", 33, 0, 250},
      {SdRelay::NoDone, 300, "A timeout occured while waiting the relay is done.", 4, 390, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    SCOPED_TRACE(int(c.mode));
    const std::string path = writeFile(tempDir() / "fault.bin", content(c.size));
    Rig rig(c.mode);
    ASSERT_TRUE(rig.started);
    LogCapture log;
    SdSender sender(rig.link, fast());
    const Clock::time_point begin = Clock::now();
    EXPECT_FALSE(sender.start(path, ""));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    EXPECT_EQ(rig.driver.frames().size(), c.frames);
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    const std::string text = log.text();
    const std::string tail =
        std::string(c.line) + "\n" + "[ERROR]";  // then the closing line, nothing between
    EXPECT_NE(text.find(tail), std::string::npos) << text;
    EXPECT_NE(text.find("] An error occured while sending the file.\n"), std::string::npos) << text;
  }
}

TEST(SdSender, RefusesBeforeSendingAnything) {
  const std::filesystem::path dir = tempDir() / "refused";
  std::filesystem::create_directories(dir);
  const std::string fifo = (dir / "pipe").string();
  ::mkfifo(fifo.c_str(), 0600);
  const std::string ok = writeFile(dir / "ok.bin", content(10));
  struct Case {
    std::string path, name;
  } cases[] = {
      {(dir / "missing.bin").string(), ""},
      {dir.string(), ""},                                        // a directory
      {fifo, ""},                                                // would block a plain open
      {ok + std::string(1, '\0') + "x", ""},                     // a NUL cuts the path
      {ok, std::string(123, 'n')},                               // does not fit the frame
      {writeFile(dir / std::string(123, 'b'), content(3)), ""},  // nor does this base name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.size() > 60 ? c.path.substr(c.path.size() - 60) : c.path);
    Rig rig(SdRelay::Normal);
    ASSERT_TRUE(rig.started);
    LogCapture log;
    SdSender sender(rig.link, fast());
    EXPECT_FALSE(sender.start(c.path, c.name));
    EXPECT_TRUE(rig.driver.frames().empty());
    EXPECT_NE(log.text().find("An error occured while sending the file."), std::string::npos);
  }
  Rig rig(SdRelay::Normal);
  ASSERT_TRUE(rig.started);
  SdSender sender(rig.link, fast());
  EXPECT_FALSE(sender.sendWriteFile(1, std::string(123, 'n')));
  EXPECT_TRUE(rig.driver.frames().empty());
}

TEST(SdSender, LinkDownFailsTheWriteFileFrame) {
  RespondingDriver driver;
  Communication link;
  link.setDriver(&driver);
  SdSender sender(link, fast());
  LogCapture log;
  const std::string path = writeFile(tempDir() / "idle.bin", content(3));
  EXPECT_FALSE(sender.start(path, ""));
  EXPECT_NE(log.text().find("Error while sending the file infos.\n"), std::string::npos);
}

TEST(SdSender, SimulatorNameHasTheFixedTimeLayout) {
  for (std::time_t t :
       {std::time_t(0), std::time_t(1700000000), std::time_t(951782400), std::time_t(4102444799)}) {
    const std::string name = SdSender::simulatorName(t);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char expected[64];
    asctime_r(&utc, expected);
    EXPECT_EQ(name, std::string("file") + expected);
    EXPECT_EQ(name.size(), 29u);
    EXPECT_EQ(name.back(), '\n');
  }
  EXPECT_EQ(SdSender::simulatorName(0), "fileThu Jan  1 00:00:00 1970\n");
}

}  // namespace
