#pragma once

// Reads a whole file into memory within a size limit. Only regular files are
// read: a directory, a device or a named pipe is refused at once instead of
// blocking the caller or streaming without end.

#include <cstddef>
#include <string>

namespace lc {

class FileReader {
 public:
  enum Result { Read = 0, CannotOpen = 1, TooLarge = 2 };

  // Read: `text` holds the file. CannotOpen: the path holds a NUL, names no
  // regular file, or the file cannot be opened or read. TooLarge: the file
  // has more than maxSize bytes. `text` is empty on any failure.
  static Result readAll(const std::string& path, std::size_t maxSize, std::string& text);
};

}  // namespace lc
