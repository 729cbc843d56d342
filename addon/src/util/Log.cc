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

namespace {
thread_local Log::Capture* capture = nullptr;
}  // namespace

void Log::setCapture(Capture* c) { capture = c; }

void Log::write(const std::string& name, const char* level, const std::string& message) {
  const bool error = level[0] == 'E';
  if (capture != nullptr) {
    if (!error)
      capture->lastInfo = message;
    else if (capture->firstError.empty())
      capture->firstError = message;
  }
  std::string line;
  line.reserve(message.size() + name.size() + 48);
  const auto now = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (wake_ != nullptr) {
    if (lines_.size() < capacity_) {
      const bool wasEmpty = lines_.empty();
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
      lines_.push_back(Line{error, static_cast<int64_t>(ms.count()), name, message});
      if (wasEmpty) wake_(wakeContext_);
    } else {
      ++dropped_;
    }
  }
  if (!console_.load()) return;
  if (mode_.load() == Full) {
    line.append("[").append(level).append("][");
    line.append(timestamp(std::chrono::system_clock::to_time_t(now))).append("][");
    line.append(name).append("] ");
  }
  line.append(message).append("\n");
  std::FILE* out = stream_ ? stream_ : stderr;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

void Log::setTap(Wake wake, void* context, std::size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = wake;
  wakeContext_ = context;
  capacity_ = capacity;
  if (wake == nullptr) {
    lines_.clear();
    dropped_ = 0;
  }
}

uint64_t Log::takeLines(std::vector<Line>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Line& line : lines_) out.push_back(std::move(line));
  lines_.clear();
  const uint64_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
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
