// Decodes arbitrary relay payloads as module records, in pieces the input
// chooses, for relay and tile models the input chooses (unknown ones too).
// Whatever completes must be a graph that writes to a document that reads
// back the same, and lays out as a matrix at every quarter turn.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "link/Communication.h"
#include "link/Event.h"
#include "topology/ModuleType.h"
#include "topology/Topology.h"
#include "topology/TopologyComputation.h"

namespace {

lc::ModuleType pick(uint8_t b) {
  // Mostly the seven models, sometimes an unknown one.
  return b % 8 == 7 ? lc::TypeUnknown : static_cast<lc::ModuleType>(b % 8);
}

}  // namespace

// Input: relay model, tile model, a split byte, then the records. Each
// payload is at most an event's worth, as the link delivers them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lcfuzz::quietLog();
  if (size < 3) return 0;
  static lc::Communication link;  // never started: only the decoding runs
  lc::TopologyComputation computation(link);
  computation.prepare(pick(data[0]), pick(data[1]));
  const size_t piece = 1 + size_t(data[2]) * 11;
  data += 3;
  size -= 3;
  for (size_t at = 0; at < size && !computation.done();) {
    size_t n = std::min({piece, size - at, size_t(lc::Event::kMaxData)});
    computation.topologyInit(data + at, uint32_t(n));
    at += n;
  }
  if (!computation.done()) return 0;

  const lc::Topology& topology = computation.topology();
  if (!topology.contains(0)) std::abort();
  for (uint32_t id = 0; id < computation.count(); ++id) {
    if (!topology.contains(id)) std::abort();
  }
  const std::string document = topology.getJSON();
  lc::Topology again;
  if (!again.fromJSON(document) || again.getJSON() != document) std::abort();
  for (uint32_t angle : {0u, 90u, 180u, 270u}) {
    size_t width = std::string::npos;
    for (const std::string& row : topology.getMatrix(angle)) {
      if (row.find_first_not_of("01") != std::string::npos) std::abort();
      if (width != std::string::npos && row.size() != width) std::abort();
      width = row.size();
    }
  }
  return 0;
}
