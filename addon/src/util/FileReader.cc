#include "util/FileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lc {

namespace {

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

FileReader::Result FileReader::readAll(const std::string& path, std::size_t maxSize,
                                       std::string& text) {
  text.clear();
  // The C library would stop the name at a NUL and open another file.
  if (path.find('\0') != std::string::npos) return CannotOpen;
  // Non-blocking, so that opening a named pipe without a writer returns at
  // once; the type check below then refuses it.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  if (file.fd < 0) return CannotOpen;
  struct stat info;
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return CannotOpen;
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > maxSize) {
    return TooLarge;
  }

  // The size is a hint only: the file may grow or shrink while it is read,
  // so the limit is checked again on what actually arrives.
  text.resize(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t length = 0;
  for (;;) {
    if (length == text.size()) {
      if (length > maxSize) break;
      text.resize(std::min(text.size() * 2, maxSize + 1));
    }
    const ssize_t n = ::read(file.fd, &text[length], text.size() - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      text.clear();
      return CannotOpen;
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  if (length > maxSize) {
    text.clear();
    return TooLarge;
  }
  text.resize(length);
  return Read;
}

}  // namespace lc
