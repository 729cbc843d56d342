#pragma once

// Descriptors and threads of this process, to check that work leaves none
// behind.

#include <dirent.h>

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

}  // namespace lc::test
