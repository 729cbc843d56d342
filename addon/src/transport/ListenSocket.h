#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/CancellableWait.h"
#include "transport/SharedDescriptor.h"
#include "transport/SimpleSocket.h"
#include "transport/StreamConnection.h"

namespace lc {

// A TCP listener whose accept is bounded in time and ends at once on
// cancel() or close() from another thread. The port can be bound again as
// soon as the listener is closed (SO_REUSEADDR), so a stop followed by a
// start finds it free.
class ListenSocket {
 public:
  static constexpr int kBacklog = 8;

  ListenSocket() = default;
  ~ListenSocket() { close(); }
  ListenSocket(const ListenSocket&) = delete;
  ListenSocket& operator=(const ListenSocket&) = delete;

  // Listens on host (a dotted quad; "0.0.0.0" for every interface) and port;
  // port 0 takes a free one. A listener held before is closed first. False,
  // with nothing held, when the host does not parse or the port is taken.
  bool listen(const std::string& host, uint16_t port, int backlog = kBacklog);
  bool listening() const { return socket_.exists(); }
  // The bound port; 0 when not listening.
  uint16_t port() const { return port_.load(); }

  // Waits at most timeoutMs (CancellableWait::kForever: no limit) for a
  // client. Ready: into holds the new connection (a connection it held is
  // closed first).
  CancellableWait::Result accept(StreamConnection& into, int timeoutMs);

  // From any thread: ends an accept at once and fails the later ones until
  // reset(); the port stays bound until close().
  void cancel() { wait_.cancel(); }
  void reset() { wait_.reset(); }
  uint64_t cancelEpoch() const { return wait_.epoch(); }
  // From any thread: cancels, then frees the port once an accept in progress
  // has left. A later listen() needs reset() first.
  void close();

 private:
  SharedDescriptor socket_;
  CancellableWait wait_;
  std::atomic<uint16_t> port_{0};
};

}  // namespace lc
