#pragma once

#include <json/forwards.h>

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

  // Largest package file read: the HEX text of several full images.
  static constexpr size_t kMaxFileSize = Hex::kMaxFileSize;

  // CannotOpen also for what is not a regular file; BadStructure also for
  // text that is not JSON and for a file above kMaxFileSize; BadHex when an
  // image's HEX text is bad (or too large, see Hex::kMaxBlocks). Not
  // emptied first; nothing is undone on failure.
  OpenResult openFromFile(const std::string& path);
  // The same from a stream holding the package text.
  OpenResult openFromStream(std::istream& in);
  // CannotWrite when the file cannot be opened for writing.
  SaveResult saveToFile(const std::string& path) const;
  // The JSON text that saveToFile writes.
  std::string saveToString() const;
  // BadStructure for an unknown tag or a type already present; BadHex for
  // bad HEX text or a file above Hex::kMaxFileSize.
  OpenResult addHex(const std::string& tag, const std::string& path);

  // Throws std::out_of_range ("map::at:  key not found") for a type without
  // image; take ids from getIds.
  const Hex& getHex(uint32_t id) const;
  Hex& getHex(uint32_t id);
  std::vector<uint8_t> getIds() const;

 private:
  std::map<ModuleType, Hex> hexes_;

  // A non-empty array of plain strings after a "hex" key, cut from the
  // text JsonCpp parses and read straight from the file's text instead.
  struct HexSpan {
    size_t parsedOffset;  // where the array's '[' lies in the parsed text
    const char* begin;    // the array's content, between its brackets
    const char* end;
  };

  OpenResult openFromJson(const Json::Value& root, const std::vector<HexSpan>& spans = {});

  // Keeps the image when it has a block; an empty one is dropped silently.
  void store(ModuleType type, Hex&& hex);
};

}  // namespace lc
