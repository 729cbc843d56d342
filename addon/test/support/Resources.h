#pragma once

// Descriptors and threads of this process, to check that work leaves none
// behind.

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace lc::test {

inline std::size_t entries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

struct Held {
  std::size_t fds = entries("/proc/self/fd");
  std::size_t threads = entries("/proc/self/task");
};

// ThreadSanitizer starts a helper thread of its own with the process's first
// thread, and it stays: one thread started and joined before the count keeps
// the runtime's helper out of the comparison.
inline Held baseline() {
  std::thread([] {}).join();
  return Held{};
}

// The counts once they are back to `target`, or as they stand after
// `within`: a thread that was joined may still be leaving the process's
// list for a moment, a leaked one stays.
inline Held settleTo(const Held& target,
                     std::chrono::milliseconds within = std::chrono::milliseconds(2000)) {
  const auto until = std::chrono::steady_clock::now() + within;
  Held now;
  while ((now.fds != target.fds || now.threads != target.threads) &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = Held{};
  }
  return now;
}

}  // namespace lc::test
