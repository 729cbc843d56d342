#include "util/Fs.h"

#include <vector>

namespace lc {

std::string Fs::normalize(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  bool pending = false;  // characters or a separator seen since the last split
  for (char c : path) {
    if (c == '/' || c == '\\') {
      parts.push_back(current);
      current.clear();
      pending = false;
    } else {
      current.push_back(c);
      pending = true;
    }
  }
  if (pending) parts.push_back(current);

  std::size_t i = 0;
  while (i < parts.size()) {
    const std::string& part = parts[i];
    if (part == ".") {
      parts.erase(parts.begin() + i);
    } else if (part.empty() && i != 0) {
      parts.erase(parts.begin() + i);
    } else if (part == ".." && i != 0) {
      const std::string& before = parts[i - 1];
      if (before == "..") {
        ++i;
      } else if (before.empty() && i - 1 == 0) {
        parts.erase(parts.begin() + i);
      } else {
        parts.erase(parts.begin() + (i - 1), parts.begin() + (i + 1));
        --i;
      }
    } else {
      ++i;
    }
  }

  if (parts.empty()) return ".";
  if (parts.size() == 1 && parts[0].empty()) return "/";
  std::string out = parts[0];
  for (std::size_t k = 1; k < parts.size(); ++k) out.append("/").append(parts[k]);
  return out;
}

std::string Fs::baseName(const std::string& path, bool keepExtension) {
  std::string n = normalize(path);
  std::size_t slash = n.rfind('/');
  std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::size_t end = n.size();
  if (!keepExtension) {
    std::size_t dot = n.rfind('.');
    if (dot != std::string::npos && dot > start) end = dot;
  }
  return n.substr(start, end - start);
}

}  // namespace lc
