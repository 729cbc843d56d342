#include "firmware/LcApp.h"

#include <json/json.h>

#include <exception>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "util/FileReader.h"

namespace lc {

LcApp::OpenResult LcApp::openFromFile(const std::string& path) {
  std::string text;
  switch (FileReader::readAll(path, kMaxFileSize, text)) {
    case FileReader::Read:
      break;
    case FileReader::TooLarge:
      return BadStructure;
    case FileReader::CannotOpen:
      return CannotOpen;
  }
  Json::Value root;
  try {
    // Parsed in place: the text is not copied again into a stream.
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
      return BadStructure;
    }
  } catch (const std::exception&) {
    return BadStructure;
  }
  // The text is no longer needed while the images are read.
  std::string().swap(text);
  return openFromJson(root);
}

LcApp::OpenResult LcApp::openFromStream(std::istream& in) {
  Json::Value root;
  try {
    Json::CharReaderBuilder builder;
    std::string errors;
    // Not JSON at all is a bad structure like any other, never a crash.
    if (!Json::parseFromStream(builder, in, &root, &errors)) return BadStructure;
  } catch (const std::exception&) {
    return BadStructure;
  }
  return openFromJson(root);
}

LcApp::OpenResult LcApp::openFromJson(const Json::Value& root) {
  if (!root.isArray() || root.empty()) return BadStructure;

  for (const Json::Value& element : root) {
    if (!element.isObject()) return BadStructure;
    const Json::Value& name = element["name"];
    const Json::Value& lines = element["hex"];
    if (!name.isString() || !lines.isArray() || lines.empty()) return BadStructure;
    const ModuleType type = typeFromTag(name.asString());
    if (!isKnownType(type) || hexes_.count(type) != 0) return BadStructure;

    std::string text;
    for (const Json::Value& line : lines) {
      if (!line.isString()) return BadStructure;
      text += line.asString();
      text += '\n';
    }
    Hex hex;
    if (hex.openFromString(text) != Hex::Ok) return BadHex;
    store(type, std::move(hex));
  }
  return Opened;
}

std::string LcApp::saveToString() const {
  // A package without images stays the null value rather than an empty array.
  Json::Value root;
  for (const auto& [type, hex] : hexes_) {
    Json::Value element(Json::objectValue);
    element["name"] = tagFromType(type);
    Json::Value& lines = element["hex"] = Json::Value(Json::arrayValue);
    const std::string text = hex.saveToString();
    size_t start = 0;
    while (start < text.size()) {
      size_t lf = text.find('\n', start);
      if (lf == std::string::npos) lf = text.size();
      lines.append(text.substr(start, lf - start));
      start = lf + 1;
    }
    root.append(std::move(element));
  }
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "    ";
  return Json::writeString(builder, root) + "\n";
}

LcApp::SaveResult LcApp::saveToFile(const std::string& path) const {
  // A NUL would end the name early and truncate another file.
  if (path.find('\0') != std::string::npos) return CannotWrite;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return CannotWrite;
  out << saveToString();
  out.flush();
  return Saved;
}

LcApp::OpenResult LcApp::addHex(const std::string& tag, const std::string& path) {
  std::string text;
  switch (FileReader::readAll(path, Hex::kMaxFileSize, text)) {
    case FileReader::Read:
      break;
    case FileReader::TooLarge:
      return BadHex;
    case FileReader::CannotOpen:
      return CannotOpen;
  }
  const ModuleType type = typeFromTag(tag);
  if (!isKnownType(type) || hexes_.count(type) != 0) return BadStructure;
  Hex hex;
  if (hex.openFromString(text) != Hex::Ok) return BadHex;
  store(type, std::move(hex));
  return Opened;
}

const Hex& LcApp::getHex(uint32_t id) const {
  // Only the low 8 bits name a type. The message is the same whatever the
  // standard library, so callers that show it see one text.
  auto it = hexes_.find(static_cast<ModuleType>(id));
  if (it == hexes_.end()) throw std::out_of_range("map::at:  key not found");
  return it->second;
}

Hex& LcApp::getHex(uint32_t id) {
  return const_cast<Hex&>(static_cast<const LcApp&>(*this).getHex(id));
}

std::vector<uint8_t> LcApp::getIds() const {
  std::vector<uint8_t> ids;
  ids.reserve(hexes_.size());
  for (const auto& entry : hexes_) ids.push_back(entry.first);
  return ids;
}

void LcApp::store(ModuleType type, Hex&& hex) {
  if (hex.nbKbUsed() != 0) hexes_.emplace(type, std::move(hex));
}

}  // namespace lc
