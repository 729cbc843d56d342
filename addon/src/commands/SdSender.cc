#include "commands/SdSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "util/Fs.h"

namespace lc {

namespace {

// A file opened for one transfer, closed on every way out.
class Source {
 public:
  // Never blocks: a FIFO or a device is refused once opened without delay,
  // and only a regular file is read.
  explicit Source(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
      close();
      return;
    }
    size_ = uint64_t(st.st_size);
  }
  ~Source() { close(); }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  // A file of the kernel's (/proc, /sys) reports a size of 0 and yet reads:
  // its real length is known only once read, too late for the announcement.
  bool readsPastSize() const {
    unsigned char byte;
    return ::pread(fd_, &byte, 1, off_t(size_)) == 1;
  }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Exactly length bytes, unless the file ends first or a read fails.
bool readFully(int fd, unsigned char* buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::read(fd, buffer + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  return true;
}

uint32_t readU32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool SdSender::start(const std::string& path, const std::string& name, ProgressPacer* progress) {
  EventListener listener(communication_);
  CallCancel::Scope scope(call_, listener);
  const bool sent = sendFile(listener, path, name, progress);
  if (!sent) log_.error("An error occured while sending the file.");
  return sent;
}

bool SdSender::sendFile(EventListener& listener, const std::string& path, const std::string& name,
                        ProgressPacer* progress) {
  const std::string base = Fs::baseName(path, true);
  // A size the relay cannot be told, or none at all, must not be announced.
  Source file(path);
  if (!file.ok()) {
    log_.error("Cannot read the file ", path, ".");
    return false;
  }
  if (file.size() > std::numeric_limits<uint32_t>::max()) {
    log_.error("The file ", path, " is larger than 4 GB.");
    return false;
  }
  if (file.readsPastSize()) {
    log_.error("The size of the file ", path, " cannot be known: nothing was sent.");
    return false;
  }
  const uint32_t size = uint32_t(file.size());
  log_.info("Sending the file ", base, " of size ", size / 1024, "ko.");
  const std::string& target = name.empty() ? base : name;
  if (target.size() > kMaxName) {
    log_.error("The name ", target, " is longer than ", kMaxName, " bytes.");
    return false;
  }

  if (!sendWriteFile(size, target)) {
    log_.error("Error while sending the file infos.");
    return false;
  }

  log_.info("Waiting the relay is ready.");
  WaitResult ready = waitResponse(listener, Ready);
  if (ready != Arrived) {
    logFailure(ready, "A Communication error occured while waiting the relay is ready to receive.",
               "A timeout occured while waiting the relay is ready to receive.");
    return false;
  }
  // Whatever queued up beside Ready says nothing of the data. For an empty
  // file the relay may follow Ready with Done at once, and that must stay.
  if (size > 0) listener.clearEvents();
  log_.info("Sending the data.");
  if (!sendData(file.fd(), size, listener, progress)) return false;

  log_.info("Waiting the relay is done.");
  WaitResult done = waitResponse(listener, Done);
  if (done != Arrived) {
    logFailure(done, "A communication error occured while waiting the relay is done.",
               "A timeout occured while waiting the relay is done.");
    return false;
  }
  return true;
}

bool SdSender::sendData(int fd, uint32_t size, EventListener& listener, ProgressPacer* progress) {
  unsigned char chunk[kChunk];
  uint32_t remaining = size;
  uint32_t cycle = 0;
  while (remaining > 0) {
    // The Closed event of a cancel may have been cleared with the events
    // that queued beside Ready.
    if (call_.cancelled()) {
      log_.error("The transfer was cancelled.");
      return false;
    }
    const uint32_t length = remaining < kChunk ? remaining : kChunk;
    // Zeros after the end of the file rather than the previous frame's bytes.
    if (length < kChunk) std::memset(chunk + length, 0, kChunk - length);
    if (!readFully(fd, chunk, length)) {
      // The file shrank or failed under us: what would follow is not the file.
      log_.error("An error occured while reading the file.");
      return false;
    }
    if (!communication_.sendFrame(kFrameType, chunk, kChunk)) {
      log_.error("A communication error occured while sending the data.");
      return false;
    }
    remaining -= length;
    cycle += length;
    if (progress != nullptr) progress->update(size - remaining, size);

    if (cycle == kCycle || remaining == 0) {
      WaitResult received = waitResponse(listener, Received);
      if (received != Arrived) {
        logFailure(received,
                   "An error occured while waiting the relay finished to receive the data.",
                   "A timeout occured while waiting the relay finished to receive the data.");
        return false;
      }
      cycle = 0;
    } else {
      WaitResult next = waitNextCycle(listener, remaining);
      if (next != Arrived) {
        logFailure(next, "A communication error occured while waiting to send the next data.",
                   "A timeout occured while waiting to send the next data.");
        return false;
      }
    }
  }
  return true;
}

bool SdSender::sendWriteFile(uint32_t size, const std::string& name) {
  if (name.size() > kMaxName) return false;
  unsigned char frame[kChunk] = {};
  frame[0] = kWriteFileCode;
  frame[1] = uint8_t(size);
  frame[2] = uint8_t(size >> 8);
  frame[3] = uint8_t(size >> 16);
  frame[4] = uint8_t(size >> 24);
  frame[5] = uint8_t(name.size());
  std::memcpy(frame + kNameOffset, name.data(), name.size());
  return communication_.sendFrame(kFrameType, frame, kChunk);
}

SdSender::WaitResult SdSender::waitResponse(EventListener& listener, ResponseType type) {
  return waitFor(listener, [type](const Event& event) {
    return event.length >= kCodeLength && event.data[0] == type;
  });
}

SdSender::WaitResult SdSender::waitNextCycle(EventListener& listener, uint32_t remaining) {
  return waitFor(listener, [remaining](const Event& event) {
    return event.length >= kRemainingLength && readU32(event.data + 1) <= remaining;
  });
}

template <typename Accept>
SdSender::WaitResult SdSender::waitFor(EventListener& listener, Accept accept) {
  const Clock::time_point start = Clock::now();
  Event event;
  for (;;) {
    const Clock::duration elapsed = Clock::now() - start;
    if (elapsed >= timing_.bound) return TimedOut;
    // The last slice ends at the bound: events that keep coming without the
    // awaited one end the wait on time.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timing_.bound - elapsed).count();
    const bool lastSlice = left <= long(timing_.waitMs);
    const unsigned int slice = lastSlice ? unsigned(left > 0 ? left : 1) : timing_.waitMs;
    const unsigned int got = listener.waitEvent(event, slice);
    if (got == EventListener::TimedOut && lastSlice && Clock::now() - start >= timing_.bound) {
      return TimedOut;
    }
    if (got != EventListener::Taken) return Error;
    // A link that ended sends nothing more; waiting out the slice would only
    // delay the same failure.
    if (event.kind == Event::Closed) return Error;
    if (event.kind != Event::Data) continue;
    // The relay gave up: a count it sends along does not mean it took data.
    if (event.length >= kCodeLength && event.data[0] == Failed) return Error;
    if (accept(event)) return Arrived;
  }
}

void SdSender::logFailure(WaitResult result, const char* error, const char* timeout) const {
  log_.error(result == TimedOut ? timeout : error);
}

std::string SdSender::simulatorName(std::time_t time) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  if (gmtime_r(&time, &utc) == nullptr) return "file";
  // The layout asctime documents, written here because asctime shares one
  // buffer between threads and overflows it for years past 9999.
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n",
                kDays[unsigned(utc.tm_wday) % 7], kMonths[unsigned(utc.tm_mon) % 12], utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, 1900 + utc.tm_year);
  return std::string("file") + text;
}

}  // namespace lc
