#pragma once

namespace lc {

// Receives the bytes of every frame as read, header first, before decoding.
// Called on the receive thread under the link's listener-list lock.
class RawListenerBase {
 public:
  virtual ~RawListenerBase() = default;
  virtual void addRaw(const unsigned char* bytes, unsigned int length) = 0;
};

}  // namespace lc
