#pragma once

#include <cstddef>

#include "transport/CancellableWait.h"
#include "transport/SharedDescriptor.h"
#include "transport/SimpleSocket.h"

namespace lc {

// One accepted TCP connection, read by one thread while others may send to
// it, cancel it or close it. Every wait is bounded and ends at once on
// cancel(); a send gives up on a peer that stops reading rather than hold its
// caller (often the link's receive thread) without a limit.
class StreamConnection {
 public:
  enum ReadResult { Data, PeerClosed, TimedOut, Cancelled, Failed };

  StreamConnection() = default;
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  // Takes over a connected stream socket; a connection held before is closed
  // first. Does not lift a cancel (see reset()).
  void adopt(int fd);
  bool connected() const { return socket_.exists(); }

  // Waits at most timeoutMs (CancellableWait::kForever: no limit) for bytes,
  // then takes what is there, at most capacity. Data: received > 0.
  ReadResult readSome(unsigned char* buffer, size_t capacity, int timeoutMs, size_t& received);
  // Sends every byte; false on a failed send, a cancel, no connection, or
  // when the peer takes nothing for timeoutMs (the limit starts again with
  // every byte it takes). Raises no SIGPIPE.
  bool sendAll(const unsigned char* data, size_t length, int timeoutMs);

  // From any thread: ends the current waits at once and fails every later
  // read and send until reset().
  void cancel() { wait_.cancel(); }
  void reset() { wait_.reset(); }
  uint64_t cancelEpoch() const { return wait_.epoch(); }
  // From any thread: ends the operations in progress and releases the
  // descriptor once they have left.
  void close() { socket_.close(); }

 private:
  SharedDescriptor socket_;
  CancellableWait wait_;
};

}  // namespace lc
