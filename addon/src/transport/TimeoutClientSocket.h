#pragma once

// A TCP client with a connect time-out and bounded reads that another
// thread can cancel.

#include <cstdint>
#include <mutex>
#include <string>

#include "transport/CancellableWait.h"
#include "transport/SimpleSocket.h"

namespace lc {

// A TCP client whose connect and waits for data are bounded in time and end
// at once when cancel() is called from another thread.
class TimeoutClientSocket {
 public:
  TimeoutClientSocket() = default;

  // False without any attempt when host is not a dotted quad. A cancel that
  // nobody waited for before this call does not fail it.
  bool connect(const std::string& host, unsigned int port, unsigned int seconds);
  // The same, but fails (at once, or as soon as it comes) on any cancel that
  // ran after epoch was read from cancelEpoch().
  bool connect(const std::string& host, unsigned int port, unsigned int seconds, uint64_t epoch);
  // True when the connection has data to read (or was closed by the peer);
  // false on time-out, error, no connection, or a cancel.
  bool waitDataReady(unsigned int seconds);
  // The same waits in milliseconds, for reading (POLLIN) or for room to
  // write (POLLOUT); Failed also when there is no connection.
  CancellableWait::Result waitFor(short events, int timeoutMs);

  // From any thread: fails every wait and I/O at once, until the next
  // connect. The descriptor itself is released by the owner (release(), the
  // next connect or destruction), so that a reader can never reach a
  // descriptor number reused by somebody else.
  void cancel();
  uint64_t cancelEpoch() const { return wait_.epoch(); }
  // Owner thread only: shuts down and releases the descriptor.
  void release();
  // release, and the wake-up pipe too, once nobody waits on the socket; the
  // next wait opens the pipe again.
  void releaseAll();

  bool usable() const { return socket_.exists() && !wait_.cancelled(); }
  int fd() const { return socket_.fd(); }

 private:
  SimpleSocket socket_{SimpleSocket::Stream};
  CancellableWait wait_;
  // Taken by cancel() around its shutdown and by release() around the close,
  // so a cancel never shuts down a number that was just closed and reused.
  // A leaf, never held across a wait.
  std::mutex releaseMutex_;
};

}  // namespace lc
