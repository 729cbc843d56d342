#include "transport/SharedDescriptor.h"

#include <sys/socket.h>
#include <unistd.h>

namespace lc {

void SharedDescriptor::adopt(int fd) {
  close();
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = fd;
  exists_.store(fd != -1);
}

void SharedDescriptor::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (fd_ == -1) return;
  int fd = fd_;
  fd_ = -1;
  exists_.store(false);
  // Wakes the operations that hold the number: their waits report the
  // hang-up and their calls fail, so they leave at once.
  ::shutdown(fd, SHUT_RDWR);
  idle_.wait(lock, [&] { return users_ == 0; });
  ::close(fd);
}

SharedDescriptor::Use::Use(SharedDescriptor& owner) : owner_(owner) {
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  fd_ = owner_.fd_;
  if (fd_ != -1) ++owner_.users_;
}

SharedDescriptor::Use::~Use() {
  if (fd_ == -1) return;
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  if (--owner_.users_ == 0) owner_.idle_.notify_all();
}

}  // namespace lc
