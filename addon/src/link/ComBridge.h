#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/Communication.h"
#include "link/RawListenerBase.h"
#include "transport/Sockets.h"
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
  // Longest the receive thread spends handing one piece of a frame to a
  // client that does not read; then the client is dropped.
  static constexpr unsigned int kClientSendMs = 500;

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
  enum Wait : int { Readable = 0, Woken = 1, Failed = 2 };

  State bind();
  State accept();
  State receive();
  // Polls fd for input together with the wake pipe.
  Wait waitReadable(int fd);
  bool stopRequested() const;
  void closeClient();
  // Forwards the whole frames at the front of rx_ and keeps the rest.
  void forwardFrames();
  void dropClientLocked(const char* why);

  Communication& communication_;
  Timing timing_;
  LogRef log_{"bridge"};

  mutable std::mutex stateMutex_;  // a leaf: never held across a wait
  State state_ = Stopped;
  bool stopRequested_ = false;
  uint16_t port_ = 0;
  std::string host_;
  uint16_t requestedPort_ = kDefaultPort;

  // Worker-owned.
  Pipe wake_;
  int listenFd_ = -1;
  std::unique_ptr<unsigned char[]> rx_;
  size_t rxPending_ = 0;
  bool registered_ = false;

  // The client descriptor is replaced and closed by the worker under
  // clientMutex_; addRaw sends under it, so it never meets a closed number.
  std::mutex clientMutex_;
  int client_ = -1;
  // The client joins the relay's stream at the next frame start.
  bool clientSynced_ = false;
  bool clientDropped_ = false;

  // Where the relay's stream stands (receive thread only): header bytes seen
  // of the frame being read, then payload bytes still to come.
  unsigned char rawHeader_[Communication::kHeaderSize] = {};
  unsigned int rawHeaderSeen_ = 0;
  unsigned int rawPayloadLeft_ = 0;
};

}  // namespace lc
