#include "discovery/RelayFinder.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transport/CancellableWait.h"
#include "transport/TcpipDriver.h"

namespace lc {

namespace {

constexpr char kReplyHead[] = "Hello, relay ";
constexpr size_t kReplyHeadLength = sizeof kReplyHead - 1;
constexpr char kReplyPortHead[] = " on port ";
constexpr size_t kReplyPortHeadLength = sizeof kReplyPortHead - 1;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// " on port <digits>." at `at`; digitsEnd is set to the period's index.
bool tailAt(const char* text, size_t length, size_t at, size_t& digitsEnd) {
  if (length - at < kReplyPortHeadLength ||
      std::memcmp(text + at, kReplyPortHead, kReplyPortHeadLength) != 0) {
    return false;
  }
  size_t d = at + kReplyPortHeadLength;
  size_t e = d;
  while (e < length && isDigit(text[e])) ++e;
  if (e == d || e >= length || text[e] != '.') return false;
  digitsEnd = e;
  return true;
}

// What "." does not match in an ECMAScript pattern.
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

std::array<unsigned char, 4> octetsOf(const sockaddr* address) {
  std::array<unsigned char, 4> out{};
  const auto* in = reinterpret_cast<const sockaddr_in*>(address);
  std::memcpy(out.data(), &in->sin_addr.s_addr, 4);
  return out;
}

}  // namespace

RelayFinder::RelayFinder() : RelayFinder(Timing{}) {}

RelayFinder::RelayFinder(Timing timing, uint16_t greetingPort)
    : timing_(timing), greetingPort_(greetingPort) {}

bool RelayFinder::getLocalIps(std::vector<Target>& targets) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    log_.error("cannot read the network interfaces: ", std::strerror(errno));
    return false;
  }
  std::vector<InterfaceAddress> interfaces;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    InterfaceAddress a;
    a.hasAddress = i->ifa_addr != nullptr;
    a.up = (i->ifa_flags & IFF_UP) != 0;
    a.ipv4 = a.hasAddress && i->ifa_addr->sa_family == AF_INET;
    if (a.ipv4) {
      a.address = octetsOf(i->ifa_addr);
      // Without a netmask the address is a network of its own.
      if (i->ifa_netmask != nullptr) a.netmask = octetsOf(i->ifa_netmask);
    }
    interfaces.push_back(a);
  }
  ::freeifaddrs(list);
  appendTargets(interfaces, targets);
  return true;
}

void RelayFinder::appendTargets(const std::vector<InterfaceAddress>& interfaces,
                                std::vector<Target>& targets) {
  static constexpr std::array<unsigned char, 4> loopback{{127, 0, 0, 1}};
  for (const InterfaceAddress& a : interfaces) {
    if (!a.hasAddress || !a.up || !a.ipv4) continue;
    std::array<unsigned char, 4> to = a.address;
    if (a.address != loopback) {
      // The directed broadcast address: every host bit set.
      for (size_t k = 0; k < 4; ++k) {
        to[k] =
            static_cast<unsigned char>(a.address[k] | static_cast<unsigned char>(~a.netmask[k]));
      }
    }
    targets.emplace_back(SimpleSocket::ntop4(a.address.data()), SimpleSocket::ntop4(to.data()));
  }
}

RelayFinder::End RelayFinder::findTCPIP(Drivers& found) {
  std::vector<Target> targets;
  getLocalIps(targets);
  targets.emplace_back(kLoopback, kLoopback);
  return search(targets, found);
}

RelayFinder::End RelayFinder::search(const std::vector<Target>& targets, Drivers& found) {
  accepted_.clear();
  crowded_ = false;
  localTaken_ = false;
  datagrams_ = 0;
  if (socket_.waiter().cancelled()) return End::Cancelled;

  CancellableWait::Deadline deadline(static_cast<int>(timing_.bound.count()));
  const int quietMs = static_cast<int>(timing_.quiet.count());
  socket_.resetSocket();
  if (!socket_.exists()) {
    log_.error("cannot create the discovery socket: ", std::strerror(errno));
    return End::NoSocket;
  }
  for (const Target& target : targets) {
    // A failed send costs one network; the others are still worth greeting.
    socket_.write(reinterpret_cast<const unsigned char*>(kGreeting), kGreetingLength, target.second,
                  greetingPort_);
  }

  std::vector<unsigned char> buffer(kReplyCapacity);
  std::string sender;
  End end = End::Quiet;
  bool searching = true;
  while (searching) {
    int left = deadline.leftMs();
    if (left == 0) {
      end = End::Bound;
      break;
    }
    // A silence cut short by the bound is the bound's doing.
    bool lastWait = left < quietMs;
    size_t received = 0;
    uint16_t senderPort = 0;
    switch (socket_.receive(buffer.data(), buffer.size(), lastWait ? left : quietMs, received,
                            sender, senderPort)) {
      case UdpSocket::Arrived:
        ++datagrams_;
        consider(sender, reinterpret_cast<const char*>(buffer.data()), received, targets, found);
        break;
      case UdpSocket::ReceiveFailed:
        break;
      case UdpSocket::TimedOut:
        end = lastWait ? End::Bound : End::Quiet;
        searching = false;
        break;
      case UdpSocket::WaitFailed:
        // A failed wait ends the search like silence does.
        searching = false;
        break;
      case UdpSocket::Cancelled:
        end = End::Cancelled;
        searching = false;
        break;
    }
  }
  if (end == End::Bound) {
    log_.info("search ended at its ", timing_.bound.count(), " ms bound with ", datagrams_,
              " datagrams received");
  }
  socket_.close();
  return end;
}

RelayFinder::Reply RelayFinder::consider(const std::string& sender, const char* data, size_t length,
                                         const std::vector<Target>& targets, Drivers& found) {
  std::string name;
  uint16_t port = 0;
  switch (parseReply(data, length, name, port)) {
    case Parse::NoMatch:
      return Reply::NoMatch;
    case Parse::BadPort:
      return Reply::BadPort;
    case Parse::Matched:
      break;
  }
  std::string address = sender;
  bool local = std::any_of(targets.begin(), targets.end(),
                           [&](const Target& t) { return t.first == sender; });
  if (local) {
    // One relay program per machine: the first local answer speaks for it,
    // whichever address it came from.
    if (localTaken_) return Reply::SecondLocal;
    localTaken_ = true;
    address = kLoopback;
  } else if (name == kSimulatorName) {
    return Reply::RemoteSimulator;
  }
  for (const auto& [ip, p] : accepted_) {
    if (ip == address && p == port) return Reply::Duplicate;
  }
  if (accepted_.size() >= kMaxRelays) {
    if (!crowded_) {
      log_.error("search keeps the first ", kMaxRelays, " relays; later replies are left out");
      crowded_ = true;
    }
    return Reply::TooMany;
  }
  if (name.size() > kMaxNameBytes) {
    log_.info("relay name of ", name.size(), " bytes from ", address, " cut to ", kMaxNameBytes);
    name.resize(kMaxNameBytes);
  }
  accepted_.emplace_back(address, port);
  found.push_back(std::make_unique<TcpipDriver>(address, port, name));
  return Reply::Accepted;
}

void RelayFinder::filter(Drivers& found, ModuleType type) {
  // A tag nobody knows filters nothing; a tile is never a relay.
  if (!isKnownType(type)) return;
  bool spiRelay = type == TypeRelayRpi;
  auto keep = [&](const std::unique_ptr<ComDriver>& driver) {
    if (driver == nullptr || isTile(type)) return false;
    bool tcpip = driver->getType() == DriverType::TCPIP;
    bool proxy = tcpip && static_cast<const TcpipDriver&>(*driver).name() == kSpiProxyName;
    // The SPI relay is reached through its proxy or a driver of its own.
    return spiRelay ? proxy || !tcpip : tcpip && !proxy;
  };
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const std::unique_ptr<ComDriver>& d) { return !keep(d); }),
              found.end());
}

RelayFinder::Parse RelayFinder::parseReply(const char* text, size_t length, std::string& name,
                                           uint16_t& port) {
  if (text == nullptr) return Parse::NoMatch;
  // The name cannot cross a line end, so each line is a search of its own:
  // its first head, and the last tail after it on the same line (the name
  // is greedy). A later head of the same line could only fare worse.
  size_t lineStart = 0;
  for (;;) {
    size_t lineEnd = lineStart;
    while (lineEnd < length && !isLineEnd(text[lineEnd])) ++lineEnd;
    size_t s = lineStart;
    while (s + kReplyHeadLength <= lineEnd &&
           std::memcmp(text + s, kReplyHead, kReplyHeadLength) != 0) {
      ++s;
    }
    if (s + kReplyHeadLength <= lineEnd) {
      size_t a = s + kReplyHeadLength;  // the name's first byte
      // The name is at least one byte long: the tail starts after a.
      for (size_t e = lineEnd; e > a + 1;) {
        --e;
        size_t digitsEnd = 0;
        if (!tailAt(text, length, e, digitsEnd)) continue;
        name.assign(text + a, e - a);
        uint32_t value = 0;
        for (size_t k = e + kReplyPortHeadLength; k < digitsEnd; ++k) {
          value = value * 10 + static_cast<uint32_t>(text[k] - '0');
          // Cut to 16 bits it would name somebody else's port.
          if (value > 65535) return Parse::BadPort;
        }
        if (value == 0) return Parse::BadPort;
        port = static_cast<uint16_t>(value);
        return Parse::Matched;
      }
    }
    if (lineEnd >= length) return Parse::NoMatch;
    lineStart = lineEnd + 1;
  }
}

}  // namespace lc
