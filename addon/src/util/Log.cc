#include "util/Log.h"

#include <chrono>
#include <ctime>

namespace lc {

Log& Log::log() {
  // Never destroyed: pool and receive threads may still log while the
  // process exits, after function-local statics have been torn down.
  static Log& l = *new Log();
  return l;
}

std::string Log::timestamp(std::time_t seconds) {
  std::tm utc{};
  gmtime_r(&seconds, &utc);  // gmtime's static buffer is not safe across threads
  char buffer[32];
  std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X UTC", &utc);
  return std::string(buffer, n);
}

void Log::write(const std::string& name, const char* level, const std::string& message) {
  std::string line;
  line.reserve(message.size() + name.size() + 48);
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_.load() == Full) {
    auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    line.append("[").append(level).append("][").append(timestamp(now)).append("][");
    line.append(name).append("] ");
  }
  line.append(message).append("\n");
  std::FILE* out = stream_ ? stream_ : stderr;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

void Log::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fflush(stream_ ? stream_ : stderr);
}

void Log::setStream(std::FILE* stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_ = stream;
}

}  // namespace lc
