#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

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

  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

 private:
  Log() = default;

  std::mutex mutex_;
  std::atomic<int> mode_{Full};
  std::FILE* stream_ = nullptr;
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
