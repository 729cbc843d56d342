#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/RelayFinder.h"
#include "transport/TcpipDriver.h"

// Every search here greets loopback addresses only: the targets are given,
// never read from the machine's interfaces.

namespace {

using lc::RelayFinder;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int boundUdp(const char* address, uint16_t port = 0) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t portOf(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

// A relay stand-in on 127.0.0.1: answers each greeting with scripted replies,
// each sent from the loopback address it names.
class Responder {
 public:
  struct Reply {
    std::string from;
    std::string text;
  };

  Responder() : fd_(boundUdp("127.0.0.1")) {
    thread_ = std::thread([this] { loop(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
    for (auto& [address, fd] : senders_) ::close(fd);
  }

  uint16_t port() const { return portOf(fd_); }
  void answer(std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = std::move(replies);
  }
  std::vector<std::string> greetings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return greetings_;
  }

 private:
  void loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      sockaddr_in greeter{};
      socklen_t length = sizeof greeter;
      char buffer[256];
      ssize_t n =
          ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&greeter), &length);
      if (n < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      greetings_.emplace_back(buffer, static_cast<size_t>(n));
      send(greeter);
    }
  }

  void send(const sockaddr_in& to) {
    for (const Reply& r : replies_) {
      int& fd = senders_[r.from];
      if (fd == 0) fd = boundUdp(r.from.c_str());
      ::sendto(fd, r.text.data(), r.text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
  }

  int fd_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Reply> replies_;
  std::vector<std::string> greetings_;
  std::map<std::string, int> senders_;
};

RelayFinder::Timing fast(std::chrono::milliseconds quiet = 150ms,
                         std::chrono::milliseconds bound = 3000ms) {
  RelayFinder::Timing t;
  t.quiet = quiet;
  t.bound = bound;
  return t;
}

struct Found {
  std::string ip;
  std::string name;
  unsigned port;
  bool operator==(const Found& o) const { return ip == o.ip && name == o.name && port == o.port; }
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  return out << f.ip << ":" << f.port << " " << f.name;
}

std::vector<Found> described(const RelayFinder::Drivers& drivers) {
  std::vector<Found> out;
  for (const auto& d : drivers) {
    const auto& tcp = static_cast<const lc::TcpipDriver&>(*d);
    out.push_back({tcp.ip(), tcp.name(), tcp.port()});
  }
  return out;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------

// The hand-written matcher must agree with the regular expression it stands
// for (which is too slow and too deep in recursion for 64 KiB datagrams).
void expectLikeRegex(const std::string& text) {
  static const std::regex pattern("Hello, relay (.+) on port ([0-9]+)\\.", std::regex::ECMAScript);
  std::smatch m;
  bool matched = std::regex_search(text, m, pattern);
  std::string name;
  uint16_t port = 0;
  RelayFinder::Parse parse = RelayFinder::parseReply(text.data(), text.size(), name, port);
  ASSERT_EQ(matched, parse != RelayFinder::Parse::NoMatch) << text;
  if (!matched) return;
  EXPECT_EQ(name, m[1].str()) << text;
  std::string digits = m[2].str();
  size_t first = digits.find_first_not_of('0');
  std::string significant = first == std::string::npos ? "" : digits.substr(first);
  bool inRange =
      !significant.empty() && significant.size() <= 5 && std::stoul(significant) <= 65535;
  EXPECT_EQ(parse, inRange ? RelayFinder::Parse::Matched : RelayFinder::Parse::BadPort) << text;
  if (inRange) {
    EXPECT_EQ(port, std::stoul(significant)) << text;
  }
}

TEST(RelayFinderParse, AgreesWithThePatternOnChosenTexts) {
  const std::string long64(64, 'n');
  const char* texts[] = {
      "Hello, relay Stage-A on port 5000.",
      "junk before Hello, relay Stage-A on port 5000. and after",
      "Hello, relay a on port 1. b on port 2.",
      "Hello, relay x on port 12",
      "Hello, relay  on port 12.",
      "Hello, relay x\n on port 12.",
      "Hello, relay x\r on port 12.",
      "Hello, relay x\nHello, relay y on port 7.",
      "Hello, relay Hello, relay z on port 8.",
      "Hello, relay x on port .",
      "Hello, relay x on port 0.",
      "Hello, relay x on port 00080.",
      "Hello, relay x on port 65535.",
      "Hello, relay x on port 65536.",
      "Hello, relay x on port 70000.",
      "Hello, relay x on port 99999999999999999999999.",
      "hello, relay x on port 5.",
      "Hello, relay x on port 5.\n",
      "Hello, relay  on port  on port 3.",
      "",
  };
  for (const char* t : texts) expectLikeRegex(t);
  expectLikeRegex("Hello, relay " + long64 + " on port 4242.");
  expectLikeRegex(std::string("Hello, relay a\0b on port 9.", 27));
}

TEST(RelayFinderParse, AgreesWithThePatternOnRandomTexts) {
  const char* pieces[] = {"Hello, relay ", " on port ", "12", "0", "7", ".", "\n", "\r", "x", " ",
                          "Hello, rel",    "on port"};
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int count = static_cast<int>(random() % 9);
    for (int k = 0; k < count; ++k) text += pieces[random() % (sizeof pieces / sizeof *pieces)];
    expectLikeRegex(text);
  }
}

TEST(RelayFinderParse, LongTextsStayLinear) {
  // Every head in one line, no tail: a quadratic scan would take seconds.
  std::string text;
  while (text.size() < 60000) text += "Hello, relay  on port ";
  std::string name;
  uint16_t port = 0;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(RelayFinder::parseReply(text.data(), text.size(), name, port),
            RelayFinder::Parse::NoMatch);
  text += "9.";
  EXPECT_EQ(RelayFinder::parseReply(text.data(), text.size(), name, port),
            RelayFinder::Parse::Matched);
  EXPECT_EQ(port, 9);
  EXPECT_LT(secondsSince(start), 0.5);
}

// ---------------------------------------------------------------------------

TEST(RelayFinderTargets, DirectedBroadcastOfEveryLiveIpv4Address) {
  auto iface = [](std::array<unsigned char, 4> address, std::array<unsigned char, 4> mask,
                  bool up = true, bool ipv4 = true, bool has = true) {
    RelayFinder::InterfaceAddress a;
    a.address = address;
    a.netmask = mask;
    a.up = up;
    a.ipv4 = ipv4;
    a.hasAddress = has;
    return a;
  };
  std::vector<RelayFinder::InterfaceAddress> interfaces = {
      iface({127, 0, 0, 1}, {255, 0, 0, 0}),
      iface({192, 168, 1, 37}, {255, 255, 255, 0}),
      iface({10, 5, 3, 7}, {255, 255, 0, 0}),
      iface({10, 5, 0, 7}, {255, 255, 0, 0}),
      iface({172, 16, 4, 9}, {255, 255, 255, 252}),
      iface({192, 168, 7, 1}, {255, 255, 255, 0}, false),        // down
      iface({192, 168, 8, 1}, {255, 255, 255, 0}, true, false),  // not IPv4
      iface({192, 168, 9, 1}, {255, 255, 255, 0}, true, false, false),
      iface({127, 0, 0, 2}, {255, 0, 0, 0}),
      iface({10, 9, 9, 9}, {255, 255, 255, 255}),
  };
  std::vector<RelayFinder::Target> targets = {{"kept", "kept"}};
  RelayFinder::appendTargets(interfaces, targets);
  std::vector<RelayFinder::Target> expected = {
      {"kept", "kept"},
      {"127.0.0.1", "127.0.0.1"},
      {"192.168.1.37", "192.168.1.255"},
      {"10.5.3.7", "10.5.255.255"},
      {"10.5.0.7", "10.5.255.255"},
      {"172.16.4.9", "172.16.4.11"},
      {"127.0.0.2", "127.255.255.255"},
      {"10.9.9.9", "10.9.9.9"},
  };
  EXPECT_EQ(targets, expected);
}

// ---------------------------------------------------------------------------

// A driver of the other kind, which only the SPI relay type keeps.
class SpiDriver : public lc::ComDriver {
 public:
  bool connect() override { return false; }
  bool write(const unsigned char*, unsigned int) override { return false; }
  bool writeUnsafe(const unsigned char*, unsigned int) override { return false; }
  bool read(unsigned char*, unsigned int) override { return false; }
  bool readMax(unsigned char*, unsigned int, unsigned int&) override { return false; }
  void close() override {}
  std::string status() const override { return ""; }
  std::string json() const override { return ""; }
  lc::DriverType getType() override { return lc::DriverType::SPI; }
};

TEST(RelayFinderFilter, KeepsWhatFitsTheRelayType) {
  struct Case {
    const char* tag;
    std::vector<std::string> kept;  // "SPI" for the SPI driver
  } cases[] = {
      {"relay", {"Stage-A", "simulator"}},
      {"oldrelay", {"Stage-A", "simulator"}},
      {"relayrpi", {"proxySPI", "SPI"}},
      {"delta", {}},
      {"quadra", {}},
      {"quadrav2", {}},
      {"varna", {}},
      {"lamp", {"Stage-A", "proxySPI", "SPI", "simulator"}},
      {"", {"Stage-A", "proxySPI", "SPI", "simulator"}},
  };
  for (const Case& c : cases) {
    RelayFinder::Drivers found;
    found.push_back(std::make_unique<lc::TcpipDriver>("10.0.0.1", 1, "Stage-A"));
    found.push_back(std::make_unique<lc::TcpipDriver>("10.0.0.2", 2, "proxySPI"));
    found.push_back(std::make_unique<SpiDriver>());
    found.push_back(std::make_unique<lc::TcpipDriver>("10.0.0.3", 3, "simulator"));
    RelayFinder::filter(found, lc::typeFromTag(c.tag));
    std::vector<std::string> names;
    for (const auto& d : found) {
      names.push_back(d->getType() == lc::DriverType::SPI
                          ? "SPI"
                          : static_cast<const lc::TcpipDriver&>(*d).name());
    }
    EXPECT_EQ(names, c.kept) << c.tag;
  }
}

// ---------------------------------------------------------------------------

TEST(RelayFinderSearch, AppliesTheReplyRulesInOrderOfArrival) {
  Responder responder;
  const std::string longName(300, 'L');
  const std::string hugeName(RelayFinder::kMaxNameBytes + 5000, 'H');
  responder.answer({
      {"127.0.0.2", "Hello, relay Stage-A on port 5000."},
      {"127.0.0.2", "Hello, relay Stage-A on port 5000."},    // repeated
      {"127.0.0.2", "Hello, relay Stage-A on port 5001."},    // another port
      {"127.0.0.2", "Hello, relay simulator on port 5002."},  // remote simulator
      {"127.0.0.2", "Hello, relay Wrapped on port 70000."},   // no such port
      {"127.0.0.2", "Hello, relay Zero on port 0."},          // no such port
      {"127.0.0.2", "Goodbye"},                               // not a reply
      {"127.0.0.4", "Hello, relay " + longName + " on port 5003."},
      {"127.0.0.5", "Hello, relay " + hugeName + " on port 5004."},  // cut
      {"127.0.0.3", "Hello, relay simulator on port 6000."},         // local: kept
      {"127.0.0.1", "Hello, relay Other on port 6001."},             // second local
      {"127.0.0.3", "Hello, relay simulator on port 6000."},         // second local
  });
  // 127.0.0.3 stands for an address of this machine's interfaces.
  std::vector<RelayFinder::Target> targets = {{"127.0.0.3", "127.0.0.1"},
                                              {"127.0.0.1", "127.0.0.1"}};
  RelayFinder finder(fast(), responder.port());
  RelayFinder::Drivers found;
  EXPECT_EQ(finder.search(targets, found), RelayFinder::End::Quiet);
  std::vector<Found> expected = {
      {"127.0.0.2", "Stage-A", 5000},
      {"127.0.0.2", "Stage-A", 5001},
      {"127.0.0.4", longName, 5003},
      {"127.0.0.5", hugeName.substr(0, RelayFinder::kMaxNameBytes), 5004},
      {"127.0.0.1", "simulator", 6000},
  };
  EXPECT_EQ(described(found), expected);
  // Each target greeted once, whatever it repeats.
  EXPECT_EQ(responder.greetings(), (std::vector<std::string>{"Hello relay", "Hello relay"}));
  EXPECT_EQ(finder.datagramCount(), 24u);
}

TEST(RelayFinderSearch, CancelEndsARunningSearchAndForestallsTheNext) {
  Responder responder;
  RelayFinder finder(fast(5000ms, 10000ms), responder.port());
  RelayFinder::Drivers found;
  Clock::time_point start = Clock::now();
  std::thread canceller([&] {
    std::this_thread::sleep_for(100ms);
    finder.cancel();
  });
  EXPECT_EQ(finder.search({{"127.0.0.1", "127.0.0.1"}}, found), RelayFinder::End::Cancelled);
  canceller.join();
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_EQ(responder.greetings().size(), 1u);

  EXPECT_EQ(finder.search({{"127.0.0.1", "127.0.0.1"}}, found), RelayFinder::End::Cancelled);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(responder.greetings().size(), 1u);  // no second greeting
}

}  // namespace
