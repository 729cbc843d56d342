#pragma once

// The wake-up pipe of a cancellable wait.

#include "transport/SimpleSocket.h"

namespace lc {

// Two connected local stream sockets. A byte written into the write end wakes
// every wait that watches the read end.
class Pipe {
 public:
  static constexpr unsigned char kWakeByte = 'x';

  Pipe() = default;
  // Opened only when the pair could be made; otherwise nobody can be woken
  // through it, and open() may be tried again.
  void open();
  bool opened() const { return opened_; }
  // Sends the wake byte; never blocks.
  void wake();
  // Discards every byte waiting in the read end.
  void drain();
  int readFd() const { return read_.fd(); }
  int writeFd() const { return write_.fd(); }

 private:
  bool opened_ = false;
  SimpleSocket read_{SimpleSocket::Stream};
  SimpleSocket write_{SimpleSocket::Stream};
};

}  // namespace lc
