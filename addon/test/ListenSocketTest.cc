// The listener, the accepted connection and the datagram socket over
// loopback only.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackListener.h"
#include "transport/ListenSocket.h"
#include "transport/StreamConnection.h"
#include "transport/UdpSocket.h"

namespace {

using lc::CancellableWait;
using lc::ListenSocket;
using lc::StreamConnection;
using lc::UdpSocket;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A plain blocking client on loopback; -1 when refused.
int connectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string text(const unsigned char* bytes, size_t n) {
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

TEST(ListenSocket, AcceptsReadsSendsAndSeesThePeerLeave) {
  ListenSocket listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0));
  ASSERT_NE(listener.port(), 0);
  int client = connectTo(listener.port());
  ASSERT_NE(client, -1);
  StreamConnection conn;
  ASSERT_EQ(listener.accept(conn, 1000), CancellableWait::Ready);
  EXPECT_TRUE(conn.connected());

  ASSERT_EQ(::send(client, "hello", 5, 0), 5);
  unsigned char buf[64];
  size_t got = 0;
  ASSERT_EQ(conn.readSome(buf, sizeof buf, 1000, got), StreamConnection::Data);
  EXPECT_EQ(text(buf, got), "hello");

  ASSERT_TRUE(conn.sendAll(reinterpret_cast<const unsigned char*>("world"), 5, 1000));
  char back[5];
  ASSERT_EQ(::recv(client, back, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(back, 5), "world");

  EXPECT_EQ(conn.readSome(buf, sizeof buf, 50, got), StreamConnection::TimedOut);
  ::close(client);
  EXPECT_EQ(conn.readSome(buf, sizeof buf, 1000, got), StreamConnection::PeerClosed);
}

TEST(ListenSocket, RefusesBadHostsAndATakenPort) {
  ListenSocket listener;
  EXPECT_FALSE(listener.listen("localhost", 0));
  EXPECT_FALSE(listener.listening());
  EXPECT_EQ(listener.port(), 0);
  ASSERT_TRUE(listener.listen("127.0.0.1", 0));
  ListenSocket second;
  EXPECT_FALSE(second.listen("127.0.0.1", listener.port()));
}

// How an accept ends: by its time limit, or at once by a cancel or a close
// from another thread, before or during the wait.
TEST(ListenSocket, AcceptEnds) {
  enum class How { TimeOut, CancelBefore, CancelDuring, CloseDuring };
  struct Case {
    How how;
    CancellableWait::Result expected;
    double minMs, maxMs;
  } cases[] = {
      {How::TimeOut, CancellableWait::TimedOut, 79, 500},
      {How::CancelBefore, CancellableWait::Cancelled, 0, 50},
      {How::CancelDuring, CancellableWait::Cancelled, 40, 150},
      {How::CloseDuring, CancellableWait::Cancelled, 40, 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.how));
    ListenSocket listener;
    ASSERT_TRUE(listener.listen("127.0.0.1", 0));
    const uint16_t port = listener.port();
    if (c.how == How::CancelBefore) listener.cancel();
    std::thread other([&] {
      std::this_thread::sleep_for(50ms);
      if (c.how == How::CancelDuring) listener.cancel();
      if (c.how == How::CloseDuring) listener.close();
    });
    StreamConnection conn;
    auto t0 = Clock::now();
    const int limit = c.how == How::TimeOut ? 80 : CancellableWait::kForever;
    EXPECT_EQ(listener.accept(conn, limit), c.expected);
    double ms = msSince(t0);
    other.join();
    EXPECT_GE(ms, c.minMs);
    EXPECT_LT(ms, c.maxMs);
    EXPECT_FALSE(conn.connected());
    // After a close the port is free again at once.
    if (c.how == How::CloseDuring) {
      EXPECT_FALSE(listener.listening());
      ListenSocket again;
      EXPECT_TRUE(again.listen("127.0.0.1", port));
    }
  }
}

// A stop that served a client (whose connection then lingers in TIME_WAIT on
// the port) must not keep the next start from listening on the same port.
TEST(ListenSocket, PortCanBeBoundAgainRightAfterAStop) {
  ListenSocket listener;
  ASSERT_TRUE(listener.listen("127.0.0.1", 0));
  const uint16_t port = listener.port();
  int client = connectTo(port);
  StreamConnection conn;
  ASSERT_EQ(listener.accept(conn, 1000), CancellableWait::Ready);
  conn.close();  // this side closes first: TIME_WAIT stays with the port
  ::close(client);
  listener.close();

  listener.reset();
  ASSERT_TRUE(listener.listen("127.0.0.1", port));
  EXPECT_EQ(listener.port(), port);
  client = connectTo(port);
  EXPECT_EQ(listener.accept(conn, 1000), CancellableWait::Ready);
  ::close(client);
}

struct Accepted {
  Accepted() {
    listener.listen("127.0.0.1", 0);
    client = connectTo(listener.port());
    ok = client != -1 && listener.accept(conn, 1000) == CancellableWait::Ready;
  }
  ~Accepted() {
    if (client != -1) ::close(client);
  }
  ListenSocket listener;
  StreamConnection conn;
  int client = -1;
  bool ok = false;
};

// A peer that never reads: the send must give up after its limit, or at once
// on a cancel or a close, instead of holding its thread.
TEST(StreamConnection, SendToAPeerThatNeverReadsIsBounded) {
  enum class How { Limit, Cancel, Close };
  for (How how : {How::Limit, How::Cancel, How::Close}) {
    SCOPED_TRACE(int(how));
    Accepted a;
    ASSERT_TRUE(a.ok);
    std::vector<unsigned char> big(32 << 20, 0x5A);
    const int limit = how == How::Limit ? 200 : 10000;
    auto t0 = Clock::now();
    std::thread other([&] {
      std::this_thread::sleep_for(300ms);
      if (how == How::Cancel) a.conn.cancel();
      if (how == How::Close) a.conn.close();
    });
    EXPECT_FALSE(a.conn.sendAll(big.data(), big.size(), limit));
    double ms = msSince(t0);
    other.join();
    EXPECT_GE(ms, how == How::Limit ? 199 : 299);
    EXPECT_LT(ms, 2000);
  }
}

TEST(StreamConnection, ReadEndsOnCancelOrClose) {
  for (bool close : {false, true}) {
    SCOPED_TRACE(close);
    Accepted a;
    ASSERT_TRUE(a.ok);
    std::thread other([&] {
      std::this_thread::sleep_for(50ms);
      if (close) {
        a.conn.close();
      } else {
        a.conn.cancel();
      }
    });
    unsigned char buf[16];
    size_t got = 0;
    auto t0 = Clock::now();
    StreamConnection::ReadResult r =
        a.conn.readSome(buf, sizeof buf, CancellableWait::kForever, got);
    double ms = msSince(t0);
    other.join();
    EXPECT_NE(r, StreamConnection::Data);
    if (!close) {
      EXPECT_EQ(r, StreamConnection::Cancelled);
    }
    EXPECT_LT(ms, 150);
    EXPECT_EQ(a.conn.readSome(buf, sizeof buf, 1000, got),
              close ? StreamConnection::Failed : StreamConnection::Cancelled);
  }
}

TEST(UdpSocket, ReceivesWithSenderAndDeadline) {
  UdpSocket responder;
  ASSERT_TRUE(responder.bind(0, "127.0.0.1"));
  const uint16_t port = responder.localPort();
  ASSERT_NE(port, 0);
  UdpSocket asker;
  ASSERT_TRUE(asker.write(reinterpret_cast<const unsigned char*>("Hello"), 5, "127.0.0.1", port));

  unsigned char buf[63];
  size_t got = 0;
  std::string from;
  uint16_t fromPort = 0;
  ASSERT_EQ(responder.receive(buf, sizeof buf, 1000, got, from, fromPort), UdpSocket::Arrived);
  EXPECT_EQ(text(buf, got), "Hello");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(fromPort, asker.localPort());

  // The answer goes back to the port the system picked for the asker; a
  // longer datagram is cut to the buffer.
  std::string reply(100, 'r');
  ASSERT_TRUE(responder.write(reinterpret_cast<const unsigned char*>(reply.data()),
                              uint32_t(reply.size()), from, fromPort));
  ASSERT_EQ(asker.receive(buf, sizeof buf, 1000, got, from, fromPort), UdpSocket::Arrived);
  EXPECT_EQ(got, sizeof buf);
  EXPECT_EQ(fromPort, port);

  auto t0 = Clock::now();
  EXPECT_EQ(asker.receive(buf, sizeof buf, 80, got, from, fromPort), UdpSocket::TimedOut);
  EXPECT_GE(msSince(t0), 79);

  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    asker.cancel();
  });
  t0 = Clock::now();
  EXPECT_EQ(asker.receive(buf, sizeof buf, CancellableWait::kForever, got, from, fromPort),
            UdpSocket::Cancelled);
  EXPECT_LT(msSince(t0), 150);
  canceller.join();
}

// An address that is not four dotted octets must not send anywhere (in
// particular not to 0.0.0.0, which reaches this machine).
TEST(UdpSocket, WriteToAnAddressThatIsNotAQuadSendsNothing) {
  UdpSocket responder;
  ASSERT_TRUE(responder.bind(0, "0.0.0.0"));
  const uint16_t port = responder.localPort();
  UdpSocket sender;
  const unsigned char hi[] = {'h', 'i'};
  for (const std::string& address :
       {std::string("localhost"), std::string("127.0.0.01"), std::string("127.0.1"),
        std::string("127.0.0.1 "), std::string(), std::string("127.0.0.1\0x", 11)}) {
    EXPECT_FALSE(sender.write(hi, 2, address, port)) << address;
  }
  EXPECT_FALSE(sender.exists());  // not even a socket was made
  unsigned char buf[8];
  size_t got = 0;
  std::string from;
  uint16_t fromPort = 0;
  EXPECT_EQ(responder.receive(buf, sizeof buf, 100, got, from, fromPort), UdpSocket::TimedOut);
}

}  // namespace
