#pragma once

// Finds the relays on the local IPv4 networks: one greeting to every
// network's broadcast address, then the replies for as long as they keep
// coming (within a fixed bound), each turned into a TCP driver.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "topology/ModuleType.h"
#include "transport/ComDriver.h"
#include "transport/UdpSocket.h"
#include "util/Log.h"

namespace lc {

class RelayFinder {
 public:
  static constexpr uint16_t kGreetingPort = 9860;
  static constexpr const char* kGreeting = "Hello relay";
  static constexpr size_t kGreetingLength = 11;
  // The search ends after this long without a datagram...
  static constexpr unsigned int kQuietMs = 1000;
  // ...and in any case after this long, so that a network that never falls
  // silent cannot hold the search's thread for ever.
  static constexpr unsigned int kSearchBoundMs = 10000;
  // Every datagram is read whole: a long relay name must not cut the reply.
  static constexpr size_t kReplyCapacity = 65536;
  static constexpr const char* kLoopback = "127.0.0.1";
  // What one search keeps: a flood of replies (or of long names) must not
  // grow without end. Later relays are left out, longer names cut.
  static constexpr size_t kMaxRelays = 1024;
  static constexpr size_t kMaxNameBytes = 1024;
  // The relay that forwards to the SPI bus announces itself by this name.
  static constexpr const char* kSpiProxyName = "proxySPI";
  // A simulator on another machine is somebody else's; only a local one counts.
  static constexpr const char* kSimulatorName = "simulator";

  // Tests shorten the waits; the defaults are the fixed values above.
  struct Timing {
    std::chrono::milliseconds quiet{kQuietMs};
    std::chrono::milliseconds bound{kSearchBoundMs};
  };

  // (local address, address the greeting goes to), both dotted texts.
  using Target = std::pair<std::string, std::string>;
  using Drivers = std::vector<std::unique_ptr<ComDriver>>;

  // One address of a network interface, as the target computation needs it.
  struct InterfaceAddress {
    bool up = false;
    bool ipv4 = false;
    bool hasAddress = false;
    std::array<unsigned char, 4> address{};
    std::array<unsigned char, 4> netmask{{255, 255, 255, 255}};
  };

  // A reply text matched against "Hello, relay (.+) on port ([0-9]+)\." and
  // its port checked.
  enum class Parse { Matched, NoMatch, BadPort };
  // What became of one received datagram.
  enum class Reply { Accepted, NoMatch, BadPort, SecondLocal, RemoteSimulator, Duplicate, TooMany };
  // Why a search ended.
  enum class End { Quiet, Bound, Cancelled, NoSocket };

  RelayFinder();
  RelayFinder(Timing timing, uint16_t greetingPort = kGreetingPort);
  RelayFinder(const RelayFinder&) = delete;
  RelayFinder& operator=(const RelayFinder&) = delete;

  // Appends one target per address of an interface that is up and IPv4;
  // false (targets unchanged) when the interface list cannot be read.
  bool getLocalIps(std::vector<Target>& targets);
  // Targets of the given interface addresses, in their order. The greeting
  // goes to the network's directed broadcast address; 127.0.0.1 is greeted
  // as itself.
  static void appendTargets(const std::vector<InterfaceAddress>& interfaces,
                            std::vector<Target>& targets);

  // One search over every local network and the loopback address; appends a
  // driver per accepted reply, in order of arrival.
  End findTCPIP(Drivers& found);
  // One search over the given targets only.
  End search(const std::vector<Target>& targets, Drivers& found);

  // Keeps the drivers that fit the relay type, in their order.
  static void filter(Drivers& found, ModuleType type);

  // Finds the reply pattern anywhere in the text, as an ECMAScript regular
  // expression search would: the leftmost match, the longest name. A port
  // outside 1 to 65535 is BadPort.
  static Parse parseReply(const char* text, size_t length, std::string& name, uint16_t& port);

  // From any thread: ends a running search at once, and any later one
  // before it greets.
  void cancel() { socket_.cancel(); }

  // Counts of the last search, for whoever wants to know why a relay is
  // missing.
  size_t datagramCount() const { return datagrams_; }

 private:
  Reply consider(const std::string& sender, const char* data, size_t length,
                 const std::vector<Target>& targets, Drivers& found);

  Timing timing_;
  uint16_t greetingPort_;
  // Made afresh by each search's first send and closed at its end; a cancel
  // outlives it.
  UdpSocket socket_;
  // Per-search state.
  std::vector<std::pair<std::string, uint16_t>> accepted_;
  bool crowded_ = false;  // the kMaxRelays line was logged in this search
  bool localTaken_ = false;
  size_t datagrams_ = 0;
  LogRef log_{"relayFinder"};
};

}  // namespace lc
