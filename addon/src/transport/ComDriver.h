#pragma once

#include <cstdint>
#include <string>

#include "transport/StopFlag.h"

namespace lc {

enum class DriverType : unsigned { TCPIP = 0, SPI = 1 };

// A transport to one relay. One thread reads; writes are serialised by the
// caller; close() may come from any thread and ends a waiting read at once.
class ComDriver {
 public:
  virtual bool connect() = 0;
  // Sends all bytes; false on the first failed send (a write of 0 bytes fails).
  virtual bool write(const unsigned char* data, unsigned int length) = 0;
  enum class WriteResult { Sent, Failed, Stopped };
  // write, watching stop while it must wait for the relay to take more.
  // Stopped: the stop came before any byte left, and the connection is
  // unharmed. Once part of the bytes left, the rest is given a short grace;
  // Failed then means the stream is broken and the link must end. A driver
  // that cannot wait this way just writes.
  virtual WriteResult writeWatching(const unsigned char* data, unsigned int length,
                                    const StopFlag* stop) {
    (void)stop;
    return write(data, length) ? WriteResult::Sent : WriteResult::Failed;
  }
  // One datagram to the relay's side channel.
  virtual bool writeUnsafe(const unsigned char* data, unsigned int length) = 0;
  // Reads exactly length bytes; false on silence, peer close, error or close().
  virtual bool read(unsigned char* buffer, unsigned int length) = 0;
  // Reads what is waiting, at most maximum bytes; received is set first.
  virtual bool readMax(unsigned char* buffer, unsigned int maximum, unsigned int& received) = 0;
  // Reads at least one byte and at most maximum: what is waiting, or else
  // what arrives first within the same bound of silence as read(). False
  // (received 0) when read() would fail. This fallback takes one byte per
  // call; a driver that can see what is waiting takes it all at once.
  virtual bool readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) {
    received = 0;
    if (maximum == 0 || !read(buffer, 1)) return false;
    received = 1;
    return true;
  }
  // readSome, but waiting at most waitMs for the first byte when that is
  // shorter than the driver's own bound (0: only what is waiting). A driver
  // that cannot shorten its wait waits its own bound.
  virtual bool readSomeWithin(unsigned char* buffer, unsigned int maximum, unsigned int& received,
                              unsigned int waitMs) {
    (void)waitMs;
    return readSome(buffer, maximum, received);
  }
  // The driver's bound of silence on a read, in milliseconds. The link also
  // gives one frame no longer than this to arrive whole.
  virtual unsigned int silenceMs() const { return 3000; }
  virtual void close() = 0;
  // After close(), once no read, write or connect uses the driver any more:
  // gives back its descriptors; the next connect makes them again.
  virtual void release() {}
  virtual std::string status() const = 0;
  virtual std::string json() const = 0;
  virtual ~ComDriver() = default;
  virtual DriverType getType() = 0;

  // A connect that a close() from another thread cuts short also when the
  // close lands before the connect begins: the caller reads cancelEpoch()
  // first (for instance under the lock its stop also takes), and
  // connectUnlessClosed fails when close() ran since then. A driver that
  // cannot tell just connects.
  virtual uint64_t cancelEpoch() const { return 0; }
  virtual bool connectUnlessClosed(uint64_t epoch) {
    (void)epoch;
    return connect();
  }
};

}  // namespace lc
