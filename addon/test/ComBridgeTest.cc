// The link bridge over real loopback sockets: a fake relay behind the link,
// and plain test clients on the bridge's port.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/ComBridge.h"
#include "link/Communication.h"
#include "support/FakeRelay.h"
#include "support/LoopbackListener.h"
#include "support/MixedFrames.h"
#include "support/Recorders.h"
#include "support/ScriptedDriver.h"
#include "transport/TcpipDriver.h"

namespace {

using namespace std::chrono_literals;
using lc::ComBridge;
using lc::test::frame;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = 2s) {
  auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A client of the bridge: a plain blocking socket with bounded reads.
struct Client {
  explicit Client(uint16_t port, int receiveBuffer = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { close(); }
  void close() {
    if (fd != -1) ::close(fd);
    fd = -1;
  }
  bool send(const Bytes& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  Bytes receive(size_t count, std::chrono::milliseconds limit = 2s) {
    Bytes out;
    auto deadline = Clock::now() + limit;
    unsigned char buffer[65536];
    while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) break;
      ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
      if (r <= 0) break;
      out.insert(out.end(), buffer, buffer + r);
    }
    return out;
  }
  // True once the bridge closed this connection (end of stream or reset).
  bool closedByPeer(std::chrono::milliseconds limit = 2s) {
    auto deadline = Clock::now() + limit;
    unsigned char buffer[65536];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
      if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
    }
  }
  int fd = -1;
  bool connected = false;
};

// The worker loop on a thread of its own, counting the port reports the
// script callback would get.
struct Worker {
  explicit Worker(ComBridge& b) : bridge(b) {
    thread = std::thread([this] {
      bool reported = false;
      ComBridge::State s;
      while ((s = bridge.run()) != ComBridge::Stopped) {
        if (s == ComBridge::Waiting && !reported) {
          reported = true;
          ++portReports;
        }
      }
      ended.store(true);
    });
  }
  ~Worker() {
    bridge.stop();
    if (thread.joinable()) thread.join();
  }
  bool waitEnded(std::chrono::milliseconds limit = 2s) {
    if (!eventually([&] { return ended.load(); }, limit)) return false;
    thread.join();
    return true;
  }
  ComBridge& bridge;
  std::thread thread;
  std::atomic<int> portReports{0};
  std::atomic<bool> ended{false};
};

lc::TcpipDriver::Timing fast() {
  lc::TcpipDriver::Timing t;
  t.connectSeconds = 2;
  t.readSeconds = 2;
  return t;
}

// A relay, the link to it, and a bridge on a free loopback port.
struct Bridged {
  Bridged() : Bridged(ComBridge::Timing()) {}
  explicit Bridged(ComBridge::Timing timing)
      : driver("127.0.0.1", relay.port(), "test", fast()), bridge(link, timing) {
    link.setDriver(&driver);
    linked = link.start() && relay.accept();
    started = bridge.start("127.0.0.1", 0);
    worker.reset(new Worker(bridge));
    listening = eventually([&] { return bridge.getPort() != 0; });
  }
  ~Bridged() {
    worker.reset();
    link.stopAndWait();
  }
  bool connected() {
    return eventually([&] { return bridge.state() == ComBridge::Connected; });
  }

  lc::test::FakeRelay relay;
  lc::TcpipDriver driver;
  lc::Communication link;
  ComBridge bridge;
  std::unique_ptr<Worker> worker;
  bool linked = false;
  bool started = false;
  bool listening = false;
};

TEST(ComBridgeTest, ClientSeesEveryRelayFrameByteForByte) {
  Bridged b;
  ASSERT_TRUE(b.linked && b.started && b.listening);
  const Bytes stream = concat(lc::test::mixedFrames());
  for (size_t piece : {size_t(0), size_t(7)}) {
    SCOPED_TRACE(piece);
    Client client(b.bridge.getPort());
    ASSERT_TRUE(client.connected);
    ASSERT_TRUE(b.connected());
    ASSERT_TRUE(b.relay.send(stream, piece));
    EXPECT_EQ(client.receive(stream.size()), stream);
    client.close();
    // Each client after the first without a new start; the port was
    // reported once.
    ASSERT_TRUE(eventually([&] { return b.bridge.state() == ComBridge::Waiting; }));
  }
  EXPECT_EQ(b.worker->portReports.load(), 1);
}

TEST(ComBridgeTest, ClientFramesReachTheRelayWholeWhileTheLinkRuns) {
  lc::test::ScriptedDriver driver;
  lc::Communication link;
  link.setDriver(&driver);
  ComBridge bridge(link);
  ASSERT_TRUE(bridge.start("127.0.0.1", 0));
  Worker worker(bridge);
  ASSERT_TRUE(eventually([&] { return bridge.getPort() != 0; }));
  Client client(bridge.getPort());
  ASSERT_TRUE(eventually([&] { return bridge.state() == ComBridge::Connected; }));

  // Link down: whole frames are dropped, not kept for later.
  ASSERT_TRUE(client.send(frame(1, {4, 0x80})));
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(link.start());
  EXPECT_TRUE(driver.written().empty());

  // A frame split across sends, with a frame of the module's own in the
  // gap: the module's frame goes first and the client's stays whole.
  Bytes big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i);
  const Bytes split = frame(7, big);
  ASSERT_TRUE(client.send(Bytes(split.begin(), split.begin() + 1000)));
  std::this_thread::sleep_for(30ms);
  const unsigned char own[2] = {4, 9};
  ASSERT_TRUE(link.sendFrame(1, own, 2));
  ASSERT_TRUE(client.send(Bytes(split.begin() + 1000, split.end())));
  // Several frames in one send, the last one cut in two sends.
  const Bytes tail = frame(3, {1, 2, 3});
  ASSERT_TRUE(
      client.send(concat({frame(0, {}), frame(2, {5}), Bytes(tail.begin(), tail.begin() + 2)})));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(client.send(Bytes(tail.begin() + 2, tail.end())));

  const Bytes expected = concat({frame(1, {4, 9}), split, frame(0, {}), frame(2, {5}), tail});
  ASSERT_TRUE(eventually([&] { return driver.written().size() >= expected.size(); }));
  EXPECT_EQ(driver.written(), expected);
  link.stopAndWait();
}

TEST(ComBridgeTest, StartTwiceStopTwice) {
  lc::Communication link;
  ComBridge bridge(link);
  EXPECT_FALSE(bridge.stop());
  EXPECT_EQ(bridge.getPort(), 0);
  ASSERT_TRUE(bridge.start("127.0.0.1", 0));
  EXPECT_FALSE(bridge.start("127.0.0.1", 0));
  {
    Worker worker(bridge);
    ASSERT_TRUE(eventually([&] { return bridge.getPort() != 0; }));
    EXPECT_FALSE(bridge.start("127.0.0.1", 0));
    EXPECT_TRUE(bridge.stop());
    EXPECT_EQ(bridge.getPort(), 0);
    EXPECT_FALSE(bridge.stop());
    ASSERT_TRUE(worker.waitEnded());
    EXPECT_EQ(worker.portReports.load(), 1);
  }
  EXPECT_FALSE(bridge.stop());
  EXPECT_EQ(bridge.state(), ComBridge::Stopped);
  // A stop right after start ends that run before it binds anything.
  ASSERT_TRUE(bridge.start("127.0.0.1", 0));
  EXPECT_TRUE(bridge.stop());
  EXPECT_EQ(bridge.run(), ComBridge::Stopped);
  EXPECT_EQ(bridge.getPort(), 0);
  EXPECT_TRUE(bridge.start("127.0.0.1", 0));
  bridge.finish();
}

TEST(ComBridgeTest, StopEndsABlockedWorkerAtOnceAndFreesThePort) {
  for (bool withClient : {false, true}) {
    SCOPED_TRACE(withClient ? "blocked receiving from a client" : "blocked accepting");
    lc::Communication link;
    ComBridge bridge(link);
    ASSERT_TRUE(bridge.start("127.0.0.1", 0));
    Worker worker(bridge);
    ASSERT_TRUE(eventually([&] { return bridge.getPort() != 0; }));
    const uint16_t port = bridge.getPort();
    std::unique_ptr<Client> client;
    if (withClient) {
      client.reset(new Client(port));
      ASSERT_TRUE(eventually([&] { return bridge.state() == ComBridge::Connected; }));
    }
    std::this_thread::sleep_for(20ms);  // into the wait
    const auto began = Clock::now();
    ASSERT_TRUE(bridge.stop());
    ASSERT_TRUE(worker.waitEnded());
    EXPECT_LT(Clock::now() - began, 200ms);
    if (client) {
      EXPECT_TRUE(client->closedByPeer());
    }
    // The same port again, at once.
    ASSERT_TRUE(bridge.start("127.0.0.1", port));
    EXPECT_EQ(bridge.run(), ComBridge::Waiting);
    EXPECT_EQ(bridge.getPort(), port);
    bridge.finish();
  }
}

TEST(ComBridgeTest, APortThatCannotBeBoundReportsNothingAndEnds) {
  lc::test::LoopbackListener taken;
  struct Case {
    const char* name;
    std::string host;
    uint16_t port;
  };
  const std::vector<Case> cases = {
      {"busy port", "127.0.0.1", taken.port()},
      {"not a dotted quad", "localhost", 0},
      {"an address of no interface here", "192.0.2.1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lc::Communication link;
    ComBridge bridge(link);
    ASSERT_TRUE(bridge.start(c.host, c.port));
    EXPECT_EQ(bridge.run(), ComBridge::Stopped);
    EXPECT_EQ(bridge.getPort(), 0);
    EXPECT_FALSE(bridge.stop());
    EXPECT_TRUE(bridge.start("127.0.0.1", 0));
    bridge.finish();
  }
}

TEST(ComBridgeTest, AClientThatNeverReadsDoesNotHoldUpTheLink) {
  ComBridge::Timing timing;
  timing.clientSendMs = 100;
  Bridged b(timing);
  ASSERT_TRUE(b.linked && b.started && b.listening);
  lc::test::EventRecorder events;
  b.link.addEventListener(events);
  Client client(b.bridge.getPort(), 4096);
  ASSERT_TRUE(b.connected());

  // Far more than the socket buffers on both sides of the client hold.
  const size_t frames = 200;
  const Bytes one = frame(2, Bytes(60000, 0x5a));
  std::thread flood([&] {
    for (size_t i = 0; i < frames; ++i) b.relay.send(one);
  });
  const auto began = Clock::now();
  const bool all = events.waitFor(frames, 5s);
  const auto took = Clock::now() - began;
  flood.join();
  b.link.removeEventListener(events);
  EXPECT_TRUE(all);
  EXPECT_LT(took, 3s);
  // The stalled client was dropped, and the next one is served.
  EXPECT_TRUE(client.closedByPeer());
  ASSERT_TRUE(eventually([&] { return b.bridge.state() == ComBridge::Waiting; }));
  Client next(b.bridge.getPort());
  ASSERT_TRUE(b.connected());
  const Bytes status = frame(0, {1, 0});
  ASSERT_TRUE(b.relay.send(status));
  EXPECT_EQ(next.receive(status.size()), status);
}

}  // namespace
