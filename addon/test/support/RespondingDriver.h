#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ScriptedDriver.h"
#include "util/Log.h"

namespace lc::test {

// A scripted driver that plays a relay reacting to what the link writes:
// every write (one frame) is recorded with its time and handed to a handler,
// which may feed an answer at once, as a fast relay would. A ticker feeds
// status frames at a period, as the relay's pacing does.
class RespondingDriver : public ScriptedDriver {
 public:
  using Clock = std::chrono::steady_clock;
  // The frame's payload and its index among the frames written so far.
  using Handler = std::function<void(const std::vector<unsigned char>& payload, size_t index)>;

  explicit RespondingDriver(std::chrono::milliseconds readTimeout = std::chrono::seconds(3))
      : ScriptedDriver(readTimeout) {}
  ~RespondingDriver() override { stopTicker(); }

  // Set before the link starts.
  void onFrame(Handler handler) { handler_ = std::move(handler); }

  bool write(const unsigned char* data, unsigned int length) override {
    if (!ScriptedDriver::write(data, length)) return false;
    size_t index;
    std::vector<unsigned char> payload(data + (length < 4 ? length : 4), data + length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = frames_.size();
      frames_.emplace_back(data, data + length);
      times_.push_back(Clock::now());
    }
    if (handler_) handler_(payload, index);
    return true;
  }

  std::vector<std::vector<unsigned char>> frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<Clock::time_point> times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }

  void status(uint16_t state) { feed(frame(0, statusPayload(state, 1, 0, 918, 128, 60, 8))); }
  void data(const std::vector<unsigned char>& payload) { feed(frame(1, payload)); }

  // Status frames carrying `state` every period until stopped.
  void startTicker(std::chrono::milliseconds period) {
    ticking_ = true;
    ticker_ = std::thread([this, period] {
      std::unique_lock<std::mutex> lock(tickMutex_);
      while (ticking_) {
        lock.unlock();
        status(state.load());
        lock.lock();
        tickCv_.wait_for(lock, period, [&] { return !ticking_; });
      }
    });
  }
  void stopTicker() {
    {
      std::lock_guard<std::mutex> lock(tickMutex_);
      ticking_ = false;
    }
    tickCv_.notify_all();
    if (ticker_.joinable()) ticker_.join();
  }

  std::atomic<uint16_t> state{1};

 private:
  Handler handler_;
  mutable std::mutex mutex_;
  std::vector<std::vector<unsigned char>> frames_;
  std::vector<Clock::time_point> times_;
  std::mutex tickMutex_;
  std::condition_variable tickCv_;
  bool ticking_ = false;
  std::thread ticker_;
};

// Routes the logger into a temporary file for one test and reads it back.
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()) { Log::log().setStream(file_); }
  ~LogCapture() {
    Log::log().setStream(nullptr);
    std::fclose(file_);
  }
  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  std::FILE* file_;
};

}  // namespace lc::test
