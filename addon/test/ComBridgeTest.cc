// The link bridge over real loopback sockets: a plain test client on the
// bridge's port, a link on a scripted driver behind it.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "link/ComBridge.h"
#include "link/Communication.h"
#include "support/ScriptedDriver.h"

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

// A client of the bridge that only sends.
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
  ~Client() { ::close(fd); }
  bool send(const Bytes& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  int fd = -1;
  bool connected = false;
};

// The worker loop on a thread of its own.
struct Worker {
  explicit Worker(ComBridge& b) : bridge(b) {
    thread = std::thread([this] {
      while (bridge.run() != ComBridge::Stopped) {
      }
    });
  }
  ~Worker() {
    bridge.stop();
    thread.join();
  }
  ComBridge& bridge;
  std::thread thread;
};

TEST(ComBridgeTest, ClientFramesReachTheRelayWholeWhileTheLinkRuns) {
  lc::test::ScriptedDriver driver;
  lc::Communication link;
  link.setDriver(&driver);
  ComBridge bridge(link);
  ASSERT_TRUE(bridge.start("127.0.0.1", 0));
  Worker worker(bridge);
  ASSERT_TRUE(eventually([&] { return bridge.getPort() != 0; }));
  Client client(bridge.getPort());
  ASSERT_TRUE(client.connected);
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

// The three threads at once: the receive thread (played by the test) hands
// frames to a client that never reads, the worker waits on that client, and
// stop comes from a third.
TEST(ComBridgeTest, AStalledClientIsDroppedInBoundedTimeAndStopEndsEveryWait) {
  lc::Communication link;
  ComBridge::Timing timing;
  timing.clientSendMs = 50;
  ComBridge bridge(link, timing);
  ASSERT_TRUE(bridge.start("127.0.0.1", 0));
  Worker worker(bridge);
  ASSERT_TRUE(eventually([&] { return bridge.getPort() != 0; }));
  Client stalled(bridge.getPort(), 4096);
  ASSERT_TRUE(eventually([&] { return bridge.state() == ComBridge::Connected; }));

  const Bytes big = frame(2, Bytes(65535, 1));
  auto longest = Clock::duration::zero();
  const auto began = Clock::now();
  while (bridge.state() == ComBridge::Connected && Clock::now() - began < 5s) {
    const auto t = Clock::now();
    bridge.addRaw(big.data(), unsigned(big.size()));
    longest = std::max(longest, Clock::now() - t);
  }
  EXPECT_EQ(bridge.state(), ComBridge::Waiting);
  EXPECT_LT(longest, 400ms);  // one wait for the client, not one per piece

  // The next client is taken and then stopped while the worker reads from
  // it; frames handed over meanwhile go nowhere and harm nothing.
  Client next(bridge.getPort());
  ASSERT_TRUE(eventually([&] { return bridge.state() == ComBridge::Connected; }));
  std::thread feeder([&] {
    for (int i = 0; i < 200; ++i) bridge.addRaw(big.data(), 4);
  });
  const auto stopAt = Clock::now();
  EXPECT_TRUE(bridge.stop());
  ASSERT_TRUE(eventually([&] { return bridge.state() == ComBridge::Stopped; }));
  EXPECT_LT(Clock::now() - stopAt, 200ms);
  feeder.join();
}

}  // namespace
