#pragma once

namespace lc {

// Receives every whole frame as read, header and payload in one call, before
// its event goes out. Called on the receive thread under the link's
// listener-list lock.
class RawListenerBase {
 public:
  virtual ~RawListenerBase() = default;
  virtual void addRaw(const unsigned char* bytes, unsigned int length) = 0;
};

}  // namespace lc
