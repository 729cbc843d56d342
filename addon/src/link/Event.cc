#include "link/Event.h"

#include <algorithm>
#include <cstring>

namespace lc {

namespace {
// Little-endian field of `size` bytes at `offset`, or `fallback` when the
// payload ends before it begins.
uint32_t field(const unsigned char* payload, unsigned int payloadLength, unsigned int offset,
               unsigned int size, uint32_t fallback) {
  if (payloadLength <= offset) return fallback;
  uint32_t value = 0;
  unsigned int available = std::min(size, payloadLength - offset);
  for (unsigned int i = 0; i < available; ++i) value |= uint32_t(payload[offset + i]) << (8 * i);
  return value;
}
}  // namespace

void Event::setClosed() {
  kind = Closed;
  typeOne = false;
  length = 0;
  state = pace = packetSize = aux1 = flags = 0;
  version = aux2 = 0;
}

void Event::setData(bool fromTypeOne, const unsigned char* payload, unsigned int payloadLength) {
  setClosed();
  kind = Data;
  typeOne = fromTypeOne;
  length = std::min(payloadLength, kMaxData);
  if (length > 0) std::memcpy(data, payload, length);
}

void Event::setStatus(const unsigned char* payload, unsigned int payloadLength) {
  setClosed();
  kind = Status;
  unsigned int n = std::min(payloadLength, kFullStatusLength);
  state = uint16_t(field(payload, n, 0, 2, 0));
  pace = uint16_t(field(payload, n, 2, 2, 0));
  version = field(payload, n, 4, 4, 0);
  packetSize = uint16_t(field(payload, n, 8, 2, kDefaultPacketSize));
  aux1 = uint16_t(field(payload, n, 10, 2, kDefaultAux1));
  aux2 = field(payload, n, 12, 4, kDefaultAux2);
  flags = uint16_t(field(payload, n, 16, 2, kDefaultFlags));
}

}  // namespace lc
