#include "support/FakeRelay.h"

#include <netinet/tcp.h>
#include <poll.h>

#include <cerrno>
#include <thread>

namespace lc::test {

bool FakeRelay::accept(int timeoutMs) {
  client_ = listener_.accept(timeoutMs);
  if (client_ == -1) return false;
  int one = 1;
  setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

bool FakeRelay::send(const std::vector<unsigned char>& bytes, size_t piece) {
  if (piece == 0) piece = bytes.size();
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = std::min(bytes.size(), at + piece);
    while (at < end) {
      ssize_t r = ::send(client_, bytes.data() + at, end - at, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      at += size_t(r);
    }
    // Small pieces only become separate segments when they leave apart.
    if (piece < bytes.size()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::vector<unsigned char> FakeRelay::receive(size_t count, std::chrono::milliseconds limit) {
  std::vector<unsigned char> out;
  auto deadline = std::chrono::steady_clock::now() + limit;
  unsigned char buffer[65536];
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{client_, POLLIN, 0};
    if (::poll(&p, 1, int(left.count())) <= 0) break;
    ssize_t r = ::recv(client_, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (r <= 0) break;
    out.insert(out.end(), buffer, buffer + r);
  }
  return out;
}

void FakeRelay::closeClient() {
  if (client_ != -1) ::close(client_);
  client_ = -1;
}

}  // namespace lc::test
