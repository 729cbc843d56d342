#pragma once

#include <cstdint>

namespace lc {

// One decoded frame from the relay, or the end of a link. A plain fixed-size
// record: queues copy it by value, so nothing is allocated per frame. Every
// field is present in every event (unused ones are zero), which keeps a
// status read of a data event well defined.
struct Event {
  enum Kind : uint32_t { Data = 0, Status = 1, Closed = 2 };

  static constexpr unsigned int kMaxData = 2048;
  static constexpr unsigned int kFullStatusLength = 18;

  // What a status payload too short to carry a field stands for.
  static constexpr uint16_t kDefaultPacketSize = 918;
  static constexpr uint16_t kDefaultAux1 = 128;
  static constexpr uint32_t kDefaultAux2 = 60;
  static constexpr uint16_t kDefaultFlags = 8;

  Kind kind = Closed;

  // Data variant (frame types 1 and 2).
  bool typeOne = false;
  uint32_t length = 0;
  unsigned char data[kMaxData] = {};

  // Status variant (frame type 0).
  uint16_t state = 0;
  uint16_t pace = 0;
  uint32_t version = 0;
  uint16_t packetSize = 0;
  uint16_t aux1 = 0;
  uint32_t aux2 = 0;
  uint16_t flags = 0;

  // Builders used by the receive thread; each overwrites the whole record.
  void setClosed();
  // Keeps at most kMaxData bytes of the payload.
  void setData(bool fromTypeOne, const unsigned char* payload, unsigned int payloadLength);
  // A field whose bytes lie wholly beyond the payload takes its default; a
  // field cut by the end of the payload keeps the bytes that arrived and 0
  // for the rest. Bytes beyond the 18 of a full status are ignored.
  void setStatus(const unsigned char* payload, unsigned int payloadLength);
};

}  // namespace lc
