#pragma once

#include <string>

namespace lc {

// Path text helpers; they never touch the file system.
class Fs {
 public:
  // Canonical form with "/" separators: "." and empty components dropped,
  // ".." folded into the component before it where there is one.
  static std::string normalize(const std::string& path);
  // Last component of the normalised path, without its extension unless
  // keepExtension is set.
  static std::string baseName(const std::string& path, bool keepExtension);
};

}  // namespace lc
