// Feeds arbitrary datagrams to the relay reply parser. A match must name a
// relay and a usable port, and short texts must be read exactly as the
// regular expression the replies are defined by reads them.

#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "discovery/RelayFinder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::string name;
  uint16_t port = 0;
  lc::RelayFinder::Parse parse = lc::RelayFinder::parseReply(text, size, name, port);
  if (parse == lc::RelayFinder::Parse::Matched && (name.empty() || port == 0)) std::abort();

  // The library's matcher recurses per byte; keep it to short texts.
  if (size > 512) return 0;
  static const std::regex pattern("Hello, relay (.+) on port ([0-9]+)\\.");
  std::cmatch m;
  bool matched = std::regex_search(text, text + size, m, pattern);
  if (matched != (parse != lc::RelayFinder::Parse::NoMatch)) std::abort();
  if (parse == lc::RelayFinder::Parse::Matched && name != m[1].str()) std::abort();
  return 0;
}
