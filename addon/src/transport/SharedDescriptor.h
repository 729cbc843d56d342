#pragma once

// A descriptor shared by threads that may close it.

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace lc {

// A descriptor that several threads use while any of them may close it. The
// number is released only after every operation that took it has left, so
// nobody reaches a number the system already gave to somebody else; closing
// shuts the socket down first, which ends their waits and blocked calls.
class SharedDescriptor {
 public:
  SharedDescriptor() = default;
  ~SharedDescriptor() { close(); }
  SharedDescriptor(const SharedDescriptor&) = delete;
  SharedDescriptor& operator=(const SharedDescriptor&) = delete;

  // Takes over fd; a descriptor held before is closed first.
  void adopt(int fd);
  // Shuts down, waits for the operations in progress to leave, closes.
  void close();
  bool exists() const { return exists_.load(); }

  // Holds the descriptor for one operation; fd() is -1 when there is none.
  class Use {
   public:
    explicit Use(SharedDescriptor& owner);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int fd() const { return fd_; }

   private:
    SharedDescriptor& owner_;
    int fd_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int fd_ = -1;
  int users_ = 0;
  std::atomic<bool> exists_{false};
};

}  // namespace lc
