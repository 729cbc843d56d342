#pragma once

// A relay played by a thread over an in-process driver: it sends a status
// frame with its state word at a period and reacts to each frame the link
// writes. Also a log capture for tests that check the log lines.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "link/Communication.h"
#include "support/ScriptedDriver.h"
#include "util/Log.h"

namespace lc::test {

using Bytes = std::vector<unsigned char>;

inline Bytes statusFrame(uint16_t state) {
  return frame(0, statusPayload(state, 1, 0, 918, 128, 60, 8));
}

// A driver whose writes can be held back until the test lets them go.
class GatedDriver : public ScriptedDriver {
 public:
  using ScriptedDriver::ScriptedDriver;

  void hold() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    held_ = false;
    gate_.notify_all();
  }
  // Waits until a write is held at the gate.
  bool waitHeld(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(gateMutex_);
    return gate_.wait_for(lock, limit, [&] { return waiting_ > 0; });
  }

  bool write(const unsigned char* data, unsigned int length) override {
    {
      std::unique_lock<std::mutex> lock(gateMutex_);
      ++waiting_;
      gate_.notify_all();
      gate_.wait(lock, [&] { return !held_; });
      --waiting_;
    }
    return ScriptedDriver::write(data, length);
  }

 private:
  std::mutex gateMutex_;
  std::condition_variable gate_;
  bool held_ = false;
  int waiting_ = 0;
};

class ScriptedRelay {
 public:
  using Reaction = std::function<void(ScriptedRelay& relay, const Bytes& frame)>;

  ScriptedRelay() : driver(std::chrono::seconds(30)) {
    link.setDriver(&driver);
    started = link.start();
  }
  ~ScriptedRelay() {
    stopTicking();
    link.stopAndWait();
  }

  // From now on: a status frame every `period` (none when zero), and
  // `react` for each whole frame the link wrote, on the relay's thread.
  void tick(std::chrono::milliseconds period, Reaction react = nullptr) {
    react_ = std::move(react);
    ticking_ = true;
    thread_ = std::thread([this, period] { run(period); });
  }
  void stopTicking() {
    ticking_ = false;
    if (thread_.joinable()) thread_.join();
  }

  void send(const Bytes& bytes) { driver.feed(bytes); }
  void sendStatus(uint16_t state) { driver.feed(statusFrame(state)); }

  std::atomic<uint16_t> state{1};
  // When the state word last changed through setState.
  std::atomic<int64_t> changedAtNs{0};
  void setState(uint16_t value) {
    state = value;
    changedAtNs = std::chrono::steady_clock::now().time_since_epoch().count();
  }

  GatedDriver driver;
  Communication link;
  bool started = false;

 private:
  void run(std::chrono::milliseconds period) {
    size_t seen = 0;
    while (ticking_) {
      const Bytes written = driver.written();
      // Whole frames only: a header, then its payload.
      while (written.size() - seen >= 4) {
        const size_t length = size_t(written[seen + 2] | (written[seen + 3] << 8));
        if (written.size() - seen < 4 + length) break;
        Bytes one(written.begin() + long(seen), written.begin() + long(seen + 4 + length));
        seen += 4 + length;
        if (react_) react_(*this, one);
      }
      if (period.count() > 0) sendStatus(state);
      std::this_thread::sleep_for(period.count() > 0 ? period : std::chrono::milliseconds(2));
    }
  }

  Reaction react_;
  std::atomic<bool> ticking_{false};
  std::thread thread_;
};

// Routes the log into a temporary file for one test.
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()) { Log::log().setStream(file_); }
  ~LogCapture() {
    Log::log().setStream(nullptr);
    std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Safe while other threads log: the file is read with pread, which leaves
  // the offset the log writes at where it is.
  std::string text() {
    Log::log().flush();
    std::fflush(file_);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(::fileno(file_), buf, sizeof buf, static_cast<off_t>(out.size()))) > 0)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }
  // The messages of the lines, in order, without the level, time and name.
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    std::string all = text();
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find('\n', at);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(at, end - at);
      size_t cut = line.find("] ");
      out.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
      at = end + 1;
    }
    return out;
  }

 private:
  std::FILE* file_;
};

}  // namespace lc::test
