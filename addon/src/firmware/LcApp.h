#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "firmware/Hex.h"
#include "topology/ModuleType.h"

namespace lc {

// An application package: at most one firmware image per module type, read
// from and written to a JSON file. A type is present only when its image
// holds at least one block.
class LcApp {
 public:
  enum OpenResult { Opened = 0, CannotOpen = 1, BadStructure = 2, BadHex = 4 };
  enum SaveResult { Saved = 0, CannotWrite = 3 };

  // 0 loaded, 1 cannot open, 2 bad structure (also text that is not JSON),
  // 4 an image's HEX text is bad. Not emptied first; nothing is undone on
  // failure.
  int openFromFile(const std::string& path);
  // The same from a stream holding the package text.
  int openFromStream(std::istream& in);
  // 0 written, 3 cannot open the file for writing.
  int saveToFile(const std::string& path) const;
  // The JSON text that saveToFile writes.
  std::string saveToString() const;
  // 0 added, 1 cannot open, 2 unknown tag or type already present, 4 bad HEX.
  int addHex(const std::string& tag, const std::string& path);

  // Throws std::out_of_range ("map::at:  key not found") for a type without
  // image; take ids from getIds.
  const Hex& getHex(uint32_t id) const;
  Hex& getHex(uint32_t id);
  std::vector<uint8_t> getIds() const;

 private:
  std::map<ModuleType, Hex> hexes_;

  // Keeps the image when it has a block; an empty one is dropped silently.
  void store(ModuleType type, Hex&& hex);
};

}  // namespace lc
