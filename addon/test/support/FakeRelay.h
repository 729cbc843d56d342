#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "support/LoopbackListener.h"

namespace lc::test {

// The relay's side of one loopback connection, driven step by step by a
// test: accept, send bytes in chosen pieces, read what the link sent, close.
class FakeRelay {
 public:
  FakeRelay() = default;
  ~FakeRelay() { closeClient(); }
  FakeRelay(const FakeRelay&) = delete;
  FakeRelay& operator=(const FakeRelay&) = delete;

  uint16_t port() const { return listener_.port(); }
  bool accept(int timeoutMs = 2000);
  // Writes the bytes in pieces of `piece` bytes, each its own segment.
  bool send(const std::vector<unsigned char>& bytes, size_t piece = 0);
  // Reads until `count` bytes arrived or the time is up; returns what came.
  std::vector<unsigned char> receive(size_t count,
                                     std::chrono::milliseconds limit = std::chrono::seconds(2));
  void closeClient();
  int client() const { return client_; }

 private:
  LoopbackListener listener_;
  int client_ = -1;
};

}  // namespace lc::test
