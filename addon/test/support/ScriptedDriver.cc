#include "support/ScriptedDriver.h"

namespace lc::test {

std::vector<unsigned char> frame(uint16_t type, const std::vector<unsigned char>& payload) {
  std::vector<unsigned char> out{uint8_t(type), uint8_t(type >> 8), uint8_t(payload.size()),
                                 uint8_t(payload.size() >> 8)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<unsigned char> statusPayload(uint16_t state, uint16_t pace, uint32_t version,
                                         uint16_t packetSize, uint16_t aux1, uint32_t aux2,
                                         uint16_t flags) {
  auto le = [](std::vector<unsigned char>& v, uint32_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(uint8_t(x >> (8 * i)));
  };
  std::vector<unsigned char> p;
  le(p, state, 2);
  le(p, pace, 2);
  le(p, version, 4);
  le(p, packetSize, 2);
  le(p, aux1, 2);
  le(p, aux2, 4);
  le(p, flags, 2);
  return p;
}

void ScriptedDriver::feed(const std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
  if (!bytes.empty()) pieces_.push_back(bytes.size());
  cv_.notify_all();
}

void ScriptedDriver::peerClose() {
  std::lock_guard<std::mutex> lock(mutex_);
  peerClosed_ = true;
  cv_.notify_all();
}

void ScriptedDriver::setWriteResult(bool ok) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeResult_ = ok;
}

std::vector<unsigned char> ScriptedDriver::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

int ScriptedDriver::writeCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeCalls_;
}

int ScriptedDriver::connectCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectCalls_;
}

int ScriptedDriver::closeCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeCalls_;
}

bool ScriptedDriver::waitDrained(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return incoming_.empty(); });
}

bool ScriptedDriver::connect() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++connectCalls_;
  closed_ = !connectResult_;
  return connectResult_;
}

bool ScriptedDriver::write(const unsigned char* data, unsigned int length) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++writeCalls_;
  if (!writeResult_ || closed_ || length == 0) return false;
  written_.insert(written_.end(), data, data + length);
  return true;
}

bool ScriptedDriver::read(unsigned char* buffer, unsigned int length) {
  if (length == 0) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  unsigned int got = 0;
  while (got < length) {
    // Like the socket driver: each wait for more bytes is bounded.
    bool ready = cv_.wait_for(lock, readTimeout_,
                              [&] { return closed_ || peerClosed_ || !incoming_.empty(); });
    if (!ready || closed_) return false;
    if (incoming_.empty()) return false;  // peer closed and nothing left
    while (got < length && !incoming_.empty()) buffer[got++] = takeLocked();
    if (incoming_.empty()) cv_.notify_all();
  }
  return true;
}

unsigned char ScriptedDriver::takeLocked() {
  unsigned char b = incoming_.front();
  incoming_.pop_front();
  if (--pieces_.front() == 0) pieces_.pop_front();
  return b;
}

bool ScriptedDriver::readSome(unsigned char* buffer, unsigned int maximum, unsigned int& received) {
  received = 0;
  if (maximum == 0) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  bool ready = cv_.wait_for(lock, readTimeout_,
                            [&] { return closed_ || peerClosed_ || !incoming_.empty(); });
  if (!ready || closed_ || incoming_.empty()) return false;
  const size_t piece = pieces_.front();
  while (received < maximum && received < piece) buffer[received++] = takeLocked();
  if (incoming_.empty()) cv_.notify_all();
  return true;
}

bool ScriptedDriver::readMax(unsigned char* buffer, unsigned int maximum, unsigned int& received) {
  std::unique_lock<std::mutex> lock(mutex_);
  received = 0;
  while (received < maximum && !incoming_.empty()) buffer[received++] = takeLocked();
  if (incoming_.empty()) cv_.notify_all();
  return received > 0;
}

void ScriptedDriver::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++closeCalls_;
  closed_ = true;
  cv_.notify_all();
}

}  // namespace lc::test
