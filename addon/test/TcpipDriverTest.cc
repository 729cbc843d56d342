#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackListener.h"
#include "transport/TcpipDriver.h"

namespace {

using lc::SimpleSocket;
using lc::TcpipDriver;
using lc::test::LoopbackListener;
using Clock = std::chrono::steady_clock;

// Short waits so that the slow paths take about a second, not three.
TcpipDriver::Timing fast() {
  TcpipDriver::Timing t;
  t.connectSeconds = 2;
  t.readSeconds = 1;
  t.firstReadMaxSeconds = 1;
  t.writeSeconds = 1;
  return t;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Connected {
  explicit Connected(TcpipDriver::Timing timing = fast())
      : driver("127.0.0.1", listener.port(), "test", timing) {
    ok = driver.connect();
    peer = listener.accept();
  }
  ~Connected() {
    if (peer != -1) ::close(peer);
  }
  LoopbackListener listener;
  TcpipDriver driver;
  bool ok = false;
  int peer = -1;
};

TEST(Pton4, Cases) {
  struct Case {
    const char* text;
    bool ok;
    unsigned char bytes[4];
  } cases[] = {
      {"127.0.0.1", true, {127, 0, 0, 1}},
      {"0.0.0.0", true, {0, 0, 0, 0}},
      {"255.255.255.255", true, {255, 255, 255, 255}},
      {"10.0.10.200", true, {10, 0, 10, 200}},
      {"192.168.001.2", false, {}},
      {"192.168.1", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.2.3.256", false, {}},
      {"1..2.3", false, {}},
      {".1.2.3", false, {}},
      {"1.2.3.", false, {}},
      {"1.2.3.4 ", false, {}},
      {"-1.2.3.4", false, {}},
      {"", false, {}},
      {"00.1.2.3", false, {}},
      {"1.2.3.99999999999999999999", false, {}},
  };
  for (const Case& c : cases) {
    unsigned char out[4] = {9, 9, 9, 9};
    EXPECT_EQ(SimpleSocket::pton4(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(0, std::memcmp(out, c.bytes, 4)) << c.text;
      EXPECT_EQ(SimpleSocket::ntop4(out), c.text);
    } else {
      EXPECT_EQ(out[0], 9) << "output touched for " << c.text;
    }
  }
}

TEST(TcpipDriver, TextsAndType) {
  TcpipDriver d("10.0.0.7", 7000, "lobby");
  EXPECT_EQ(d.json(),
            "{\"type\": \"TCPIP\", \"ip\": \"10.0.0.7\", \"port\" : 7000, \"name\": \"lobby\"}");
  EXPECT_EQ(d.status(), "Relay lobby at 10.0.0.7:7000");
  EXPECT_EQ(d.getType(), lc::DriverType::TCPIP);
}

TEST(TcpipDriver, ConnectWritesAndReads) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ASSERT_NE(c.peer, -1);
  EXPECT_TRUE(c.driver.isConnected());

  const unsigned char out[] = {1, 0, 2, 0, 4, 0x80};
  EXPECT_TRUE(c.driver.write(out, sizeof out));
  unsigned char got[6] = {};
  ASSERT_EQ(::recv(c.peer, got, sizeof got, MSG_WAITALL), 6);
  EXPECT_EQ(0, std::memcmp(out, got, 6));

  // A frame arriving in pieces is read whole.
  std::thread sender([&] {
    ::send(c.peer, "ab", 2, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::send(c.peer, "cdef", 4, 0);
  });
  unsigned char in[6] = {};
  EXPECT_TRUE(c.driver.read(in, 6));
  sender.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 6), "abcdef");

  // readMax takes what is waiting, bounded by the maximum.
  ::send(c.peer, "0123456789", 10, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  unsigned int received = 0;
  unsigned char small[4];
  EXPECT_TRUE(c.driver.readMax(small, 4, received));
  EXPECT_EQ(received, 4u);
  unsigned char rest[64];
  EXPECT_TRUE(c.driver.readMax(rest, sizeof rest, received));
  EXPECT_EQ(received, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 6), "456789");
}

// readSome takes what is waiting up to the maximum, waits for the first byte
// no longer than a read does, and fails like a read.
TEST(TcpipDriver, ReadSomeTakesWhatIsWaiting) {
  Connected c;
  ASSERT_TRUE(c.ok);
  unsigned int received = 99;
  unsigned char b[64];
  EXPECT_FALSE(c.driver.readSome(b, 0, received));
  EXPECT_EQ(received, 0u);

  ::send(c.peer, "0123456789", 10, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(c.driver.readSome(b, 4, received));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), received), "0123");
  EXPECT_TRUE(c.driver.readSome(b, sizeof b, received));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), received), "456789");

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::send(c.peer, "xy", 2, 0);
  });
  EXPECT_TRUE(c.driver.readSome(b, sizeof b, received));
  late.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), received), "xy");

  auto start = Clock::now();  // silence: the read bound of one second
  EXPECT_FALSE(c.driver.readSome(b, sizeof b, received));
  EXPECT_GE(secondsSince(start), 0.9);
  EXPECT_LT(secondsSince(start), 2.0);

  auto waiting = std::async(std::launch::async, [&] {
    unsigned int n = 0;
    return c.driver.readSome(b, sizeof b, n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  start = Clock::now();
  ::close(c.peer);  // the peer's close ends the wait at once
  c.peer = -1;
  EXPECT_FALSE(waiting.get());
  EXPECT_LT(secondsSince(start), 0.5);
  c.driver.close();
  EXPECT_FALSE(c.driver.readSome(b, sizeof b, received));
}

TEST(TcpipDriver, ZeroLengthReadAndWriteFail) {
  Connected c;
  ASSERT_TRUE(c.ok);
  unsigned char b[1] = {0};
  EXPECT_FALSE(c.driver.write(b, 0));
  ::send(c.peer, "z", 1, 0);
  EXPECT_FALSE(c.driver.read(b, 0));
}

TEST(TcpipDriver, RefusedAndUnparsableHostsFail) {
  int port;
  {
    LoopbackListener closed;
    port = closed.port();
  }
  TcpipDriver refused("127.0.0.1", static_cast<uint16_t>(port), "x", fast());
  EXPECT_FALSE(refused.connect());
  EXPECT_FALSE(refused.isConnected());

  // A listener on every local address would take a connection aimed at
  // 0.0.0.0; a host that does not parse must not even try.
  LoopbackListener any(8, INADDR_ANY);
  for (const std::string& host :
       {std::string("127.0.0.01"), std::string("127.0.1"), std::string("localhost"), std::string(),
        std::string("127.0.0.1\0junk", 14)}) {
    TcpipDriver bad(host, any.port(), "x", fast());
    EXPECT_FALSE(bad.connect()) << host;
  }
  EXPECT_FALSE(any.pending(100));
}

// A listener whose accept queue is full leaves the next connect pending.
struct FullQueue {
  FullQueue() : listener(0) {
    for (int i = 0; i < 8; ++i) fillers.push_back(lc::test::connectLoopback(listener.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ~FullQueue() {
    for (int fd : fillers) ::close(fd);
  }
  LoopbackListener listener;
  std::vector<int> fillers;
};

TEST(TcpipDriver, PendingConnectEndsAfterTimeout) {
  FullQueue q;
  TcpipDriver::Timing t = fast();
  t.connectSeconds = 1;
  TcpipDriver d("127.0.0.1", q.listener.port(), "x", t);
  auto start = Clock::now();
  EXPECT_FALSE(d.connect());
  double s = secondsSince(start);
  EXPECT_GE(s, 0.9);
  EXPECT_LT(s, 2.5);
}

TEST(TcpipDriver, CloseCancelsPendingConnectAtOnce) {
  FullQueue q;
  TcpipDriver d("127.0.0.1", q.listener.port(), "x");  // the fixed 10 s
  auto start = Clock::now();
  auto result = std::async(std::launch::async, [&] { return d.connect(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  d.close();
  EXPECT_FALSE(result.get());
  EXPECT_LT(secondsSince(start), 1.5);
}

TEST(TcpipDriver, SilenceFailsReadAfterTheFixedThreeSeconds) {
  Connected c(TcpipDriver::Timing{});
  ASSERT_TRUE(c.ok);
  unsigned char b[4];
  auto start = Clock::now();
  EXPECT_FALSE(c.driver.read(b, 4));
  double s = secondsSince(start);
  EXPECT_GE(s, 2.9);
  EXPECT_LT(s, 4.0);
}

TEST(TcpipDriver, PeerStallingMidFrameFailsTheRead) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ::send(c.peer, "\x00\x00", 2, 0);  // half a header, then nothing
  unsigned char b[4];
  auto start = Clock::now();
  EXPECT_FALSE(c.driver.read(b, 4));
  double s = secondsSince(start);
  EXPECT_GE(s, 0.9);
  EXPECT_LT(s, 2.0);
}

// A peer that never reads: a write fails after the write bound without
// progress; a stop raised during the wait gives up at once when nothing of
// the write left, after the grace when part did; a close fails it at once.
TEST(TcpipDriver, WriteToAPeerThatNeverReads) {
  using R = lc::ComDriver::WriteResult;
  const struct {
    const char* name;
    bool raise, close;
    R result;
    double atLeast, atMost;  // seconds from the raise or close (else the start)
  } rows[] = {
      {"no progress for the bound", false, false, R::Failed, 0.9, 2.5},
      {"stopped, part sent", true, false, R::Failed, 0.02, 0.4},
      {"closed", false, true, R::Failed, 0, 0.2},
  };
  std::vector<unsigned char> big(64u << 20, 7);
  for (const auto& row : rows) {
    Connected c;
    ASSERT_TRUE(c.ok);
    lc::StopFlag stop;
    auto start = Clock::now();
    auto result = std::async(std::launch::async, [&] {
      return c.driver.writeWatching(big.data(), unsigned(big.size()), &stop);
    });
    if (row.raise || row.close) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      start = Clock::now();
      row.raise ? stop.raise() : c.driver.close();
    }
    EXPECT_EQ(result.get(), row.result) << row.name;
    EXPECT_GE(secondsSince(start), row.atLeast) << row.name;
    EXPECT_LE(secondsSince(start), row.atMost) << row.name;
    if (row.raise) {
      // With the connection full, a stopped write leaves before any byte.
      const unsigned char b[4] = {1, 2, 3, 4};
      start = Clock::now();
      EXPECT_EQ(c.driver.writeWatching(b, 4, &stop), R::Stopped);
      EXPECT_LE(secondsSince(start), 0.1);
    }
  }
}

TEST(TcpipDriver, CloseFromAnotherThreadEndsReadAtOnce) {
  Connected c(TcpipDriver::Timing{});
  ASSERT_TRUE(c.ok);
  // Both a wait for the first byte and a wait in the middle of a frame.
  for (bool midFrame : {false, true}) {
    if (midFrame) {
      ASSERT_TRUE(c.driver.connect());
      ::close(c.peer);
      c.peer = c.listener.accept();
      ::send(c.peer, "ab", 2, 0);
    }
    auto start = Clock::now();
    auto result = std::async(std::launch::async, [&] {
      unsigned char b[8];
      return c.driver.read(b, 8);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.driver.close();
    EXPECT_FALSE(result.get());
    EXPECT_LT(secondsSince(start), 1.0);
  }
}

TEST(TcpipDriver, PeerCloseFailsReadsAndWritesRaiseNoSignal) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ::close(c.peer);
  c.peer = -1;
  unsigned char b[4];
  EXPECT_FALSE(c.driver.read(b, 4));
  unsigned int received = 99;
  EXPECT_FALSE(c.driver.readMax(b, 4, received));
  // Writing into a connection the peer has closed would raise SIGPIPE without
  // the no-signal flag; the default action would end this process.
  std::vector<unsigned char> big(1 << 16, 0x55);
  bool anyFailed = false;
  for (int i = 0; i < 50 && !anyFailed; ++i) anyFailed = !c.driver.write(big.data(), big.size());
  EXPECT_TRUE(anyFailed);
}

TEST(TcpipDriver, CloseWithoutWaiterDoesNotCancelTheNextConnect) {
  Connected c;
  ASSERT_TRUE(c.ok);
  c.driver.close();  // leaves a wake byte nobody reads
  EXPECT_FALSE(c.driver.isConnected());
  unsigned char b[1];
  EXPECT_FALSE(c.driver.write(b, 1));
  ASSERT_TRUE(c.driver.connect());
  int peer2 = c.listener.accept();
  ASSERT_NE(peer2, -1);
  // The new connection works, and its first wait is not cut by the old byte.
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::send(peer2, "ok", 2, 0);
  });
  EXPECT_TRUE(c.driver.read(b, 1));
  later.join();
  ::close(peer2);
}

TEST(TcpipDriver, ConnectOnConnectedDriverClosesTheOldConnection) {
  Connected c;
  ASSERT_TRUE(c.ok);
  ASSERT_TRUE(c.driver.connect());
  int peer2 = c.listener.accept();
  ASSERT_NE(peer2, -1);
  char b;
  EXPECT_EQ(::recv(c.peer, &b, 1, 0), 0);  // the first peer sees its end
  ::close(peer2);
}

TEST(TcpipDriver, DatagramSideChannel) {
  int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(TcpipDriver::kDatagramPort);
  bool bound = ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  TcpipDriver d("127.0.0.1", 1, "x");
  std::vector<unsigned char> big(TcpipDriver::kMaxDatagram + 1, 1);
  EXPECT_FALSE(d.writeUnsafe(big.data(), big.size()));
  EXPECT_TRUE(d.writeUnsafe(reinterpret_cast<const unsigned char*>("hi"), 2));
  if (bound) {
    char buf[8];
    pollfd p{rx, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 1000), 0);
    EXPECT_EQ(::recv(rx, buf, sizeof buf, 0), 2);
  }
  ::close(rx);
}

}  // namespace

namespace {

TEST(ClientSocket, BlockingConnect) {
  LoopbackListener listener;
  lc::ClientSocket client;
  EXPECT_TRUE(client.connect("127.0.0.1", listener.port()));
  EXPECT_TRUE(client.exists());
  int peer = listener.accept();
  EXPECT_NE(peer, -1);
  ::close(peer);
  listener.close();

  lc::ClientSocket refused;
  EXPECT_FALSE(refused.connect("127.0.0.1", listener.port()));
  EXPECT_FALSE(refused.exists());
  EXPECT_FALSE(refused.connect("127.0.0.1.", 80));
}

}  // namespace
