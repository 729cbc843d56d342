#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace lc {

// The process-wide logger. Every line is assembled first and then written
// with one call under the mutex, so lines from different threads never mix.
class Log {
 public:
  enum Mode { Simple = 0, Full = 1 };

  static Log& log();

  template <typename... Args>
  void print(const std::string& name, const char* level, Args&&... args) {
    std::ostringstream message;
    (message << ... << std::forward<Args>(args));
    write(name, level, message.str());
  }

  // Writes one already formatted message as a line of the current mode.
  void write(const std::string& name, const char* level, const std::string& message);
  void flush();

  void setMode(Mode mode) { mode_.store(mode); }
  Mode mode() const { return static_cast<Mode>(mode_.load()); }

  // Tests redirect the lines to a file of their own; nullptr restores stderr.
  void setStream(std::FILE* stream);

  // "%x %X UTC" of the given time in whole seconds, as written in full lines.
  static std::string timestamp(std::time_t seconds);

  // What one operation logged on its thread: the first error line, and the
  // last informational one for the sequences that report their failures at
  // that level. The reason of a failure is the first of these that exists.
  struct Capture {
    std::string firstError;
    std::string lastInfo;
    const std::string& reason() const { return firstError.empty() ? lastInfo : firstError; }
  };
  // Lines logged on the calling thread go to `capture` as well, until the
  // next call (nullptr ends it).
  static void setCapture(Capture* capture);

  // Lines for a program, kept apart from the console so that the thread that
  // logs never waits for the program to read them.
  struct Line {
    bool error = false;
    int64_t timeMs = 0;  // system clock, milliseconds since the epoch
    std::string source;
    std::string message;
  };
  // Called under the log's lock when a line lands in an empty queue; it must
  // not block and must not log.
  using Wake = void (*)(void* context);
  // Starts keeping up to `capacity` lines for takeLines, calling `wake` as
  // above; a null wake stops and empties the queue.
  void setTap(Wake wake, void* context, std::size_t capacity);
  // Moves the queued lines to `out` (after what it holds); returns how many
  // lines were dropped since the last call because the queue was full.
  uint64_t takeLines(std::vector<Line>& out);
  // The console output; the tap still gets every line while it is off.
  void setConsole(bool on) { console_.store(on); }

  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

 private:
  Log() = default;

  std::mutex mutex_;
  std::atomic<int> mode_{Full};
  std::atomic<bool> console_{true};
  std::FILE* stream_ = nullptr;
  Wake wake_ = nullptr;
  void* wakeContext_ = nullptr;
  std::size_t capacity_ = 0;
  std::deque<Line> lines_;
  uint64_t dropped_ = 0;
};

// The handle an object logs through: its short source name and a switch.
class LogRef {
 public:
  explicit LogRef(std::string name) : name(std::move(name)) {}

  template <typename... Args>
  void info(Args&&... args) const {
    if (!silent) Log::log().print(name, "INFO", std::forward<Args>(args)...);
  }

  template <typename... Args>
  void error(Args&&... args) const {
    if (!silent) Log::log().print(name, "ERROR", std::forward<Args>(args)...);
  }

  std::string name;
  bool silent = false;
};

}  // namespace lc
