#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "link/CallCancel.h"
#include "link/Communication.h"
#include "link/EventListener.h"
#include "link/Frame.h"
#include "util/Log.h"
#include "util/ProgressPacer.h"

namespace lc {

// Copies one local file to the relay's SD card (or to the simulator): a
// write-file frame announces size and name, the relay says it is ready, the
// file follows in 128-byte frames, each acknowledged, with a wider
// acknowledgement after every 4096 bytes and after the last frame.
class SdSender {
 public:
  enum ResponseType : uint8_t { Ready = 1, Done = 2, Received = 3, Failed = 4 };
  enum WaitResult : unsigned int { Arrived = 0, Error = 1, TimedOut = 2 };

  static constexpr uint16_t kFrameType = Frame::Block;
  static constexpr unsigned int kChunk = 128;
  static constexpr uint32_t kCycle = 4096;
  static constexpr uint8_t kWriteFileCode = 1;
  // The write-file frame: code, u32 size, u8 name length, then the name.
  static constexpr unsigned int kNameOffset = 6;
  static constexpr unsigned int kMaxName = kChunk - kNameOffset;
  // The bytes a response needs for its code and for its remaining count.
  static constexpr unsigned int kCodeLength = 1;
  static constexpr unsigned int kRemainingLength = 5;
  // One wait slice; a slice without any event is a failure of the link.
  static constexpr unsigned int kWaitMs = 3000;
  // The bound of one wait while other events keep coming.
  static constexpr std::chrono::nanoseconds kBound{6000000000};

  // Tests shorten the waits; the defaults are the fixed values above.
  struct Timing {
    unsigned int waitMs = kWaitMs;
    std::chrono::nanoseconds bound = kBound;
  };

  explicit SdSender(Communication& communication) : SdSender(communication, Timing{}) {}
  SdSender(Communication& communication, Timing timing)
      : communication_(communication), timing_(timing) {}

  // The whole transfer; an empty name stands for the file's base name. True
  // when the relay reported the file done.
  bool start(const std::string& path, const std::string& name, ProgressPacer* progress = nullptr);
  bool sendFile(EventListener& listener, const std::string& path, const std::string& name,
                ProgressPacer* progress = nullptr);
  // False when the link is down, the name does not fit or the write fails.
  bool sendWriteFile(uint32_t size, const std::string& name);
  WaitResult waitResponse(EventListener& listener, ResponseType type);
  // Waits until the relay says it still expects at most `remaining` bytes.
  WaitResult waitNextCycle(EventListener& listener, uint32_t remaining);

  // From any thread, for good: the transfer under way fails at its next
  // wait, at once; the link stays up.
  void cancel() { call_.cancel(); }

  // The simulator's name for a file sent at `time`: "file" and the UTC time
  // in the fixed layout of the C library's asctime, line feed included.
  static std::string simulatorName(std::time_t time);

 private:
  using Clock = std::chrono::steady_clock;

  // Waits for a response that `accept` takes (Arrived); Failed codes and the
  // end of the link are errors when failedEnds is set.
  template <typename Accept>
  WaitResult waitFor(EventListener& listener, Accept accept);
  bool sendData(int fd, uint32_t size, EventListener& listener, ProgressPacer* progress);
  void logFailure(WaitResult result, const char* error, const char* timeout) const;

  Communication& communication_;
  Timing timing_;
  LogRef log_{"sdSender"};
  CallCancel call_;
};

}  // namespace lc
