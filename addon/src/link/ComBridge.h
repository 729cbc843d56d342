#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/Communication.h"
#include "link/Frame.h"
#include "link/RawListenerBase.h"
#include "transport/ListenSocket.h"
#include "transport/StreamConnection.h"
#include "util/Log.h"

namespace lc {

// Shares the link with one local TCP client at a time: the client gets every
// frame the relay sends, byte for byte, and the whole frames it sends go to
// the relay under the link's transmit lock.
//
// Threads: start, stop and getPort on the script thread; run on the worker's
// thread, which owns the sockets; addRaw on the link's receive thread.
class ComBridge : public RawListenerBase {
 public:
  static constexpr uint16_t kDefaultPort = 54433;
  // Loopback only unless asked otherwise: the bridge checks nothing, so any
  // host that reaches it could drive the relay, firmware uploads included.
  static constexpr const char* kDefaultHost = "127.0.0.1";
  static constexpr size_t kReceiveBufferSize = 102400;
  // Longest the receive thread spends handing one frame to the client; a
  // client slower than that is dropped, so it cannot hold up the link.
  static constexpr unsigned int kClientSendMs = 500;
  static constexpr int kBacklog = 1;

  enum State : int { Stopped = 0, Waiting = 1, Connected = 2, Starting = 3 };

  struct Timing {
    unsigned int clientSendMs = kClientSendMs;
  };

  explicit ComBridge(Communication& communication);
  ComBridge(Communication& communication, Timing timing);
  ~ComBridge() override;
  ComBridge(const ComBridge&) = delete;
  ComBridge& operator=(const ComBridge&) = delete;

  // Arms a run on host:port (port 0 takes a free one); the worker's first
  // step binds. False when the bridge is not stopped.
  bool start(const std::string& host = kDefaultHost, uint16_t port = kDefaultPort);
  // Asks a run to end and wakes its worker at once; true when a run was on
  // and not already stopping.
  bool stop();
  // The port bound by the current run; 0 before it is bound, after a stop
  // and when binding failed.
  uint16_t getPort() const;
  State state() const;

  // One step of the worker; returns the new state. Blocks until a client
  // comes, the client sends or leaves, or stop wakes it.
  State run();
  // Ends the run from the worker's side (or for a worker that never ran):
  // unregisters, closes every socket and leaves the bridge stopped.
  void finish();

  void addRaw(const unsigned char* bytes, unsigned int length) override;

 private:
  State bind();
  State accept();
  State receive();
  bool stopRequested() const;
  void closeClient();

  Communication& communication_;
  Timing timing_;
  LogRef log_{"bridge"};

  mutable std::mutex stateMutex_;  // a leaf: never held across a wait
  State state_ = Stopped;
  bool stopRequested_ = false;
  uint16_t port_ = 0;
  std::string host_;
  uint16_t requestedPort_ = kDefaultPort;

  // Worker-owned, apart from the cancels of stop and addRaw.
  ListenSocket listener_;
  StreamConnection client_;
  std::unique_ptr<unsigned char[]> rx_;
  FrameCutter cutter_;
  bool registered_ = false;
  // Raised by stop, so a frame for a relay that stopped reading never holds
  // the worker past a stop.
  StopFlag sendStop_;

  // Whether addRaw may send to client_: set by the worker once a client is
  // taken, cleared before it is closed and when addRaw drops it.
  std::mutex clientMutex_;
  bool clientActive_ = false;
};

}  // namespace lc
