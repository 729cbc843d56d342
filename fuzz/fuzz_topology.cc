// Reads arbitrary text as a topology document; whatever was taken must
// write back to a document that reads into the same graph, and must place
// and lay out as a matrix at every quarter turn without fault.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "topology/Topology.h"
#include "util/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    lc::Log::log().setStream(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)quiet;

  lc::Topology topology;
  topology.fromJSON(std::string(reinterpret_cast<const char*>(data), size));
  if (!topology.contains(0)) return 0;

  const std::string document = topology.getJSON();
  lc::Topology again;
  if (!again.fromJSON(document) || again.getJSON() != document) std::abort();

  for (std::uint32_t angle : {0u, 90u, 180u, 270u}) {
    for (const std::string& row : topology.getMatrix(angle)) {
      if (row.find_first_not_of("01") != std::string::npos) std::abort();
    }
  }
  return 0;
}
