#include "firmware/LcApp.h"

#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "util/FileReader.h"

namespace lc {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Printable ASCII but the quote and the backslash: a string of these reads
// the same as JSON text and as raw bytes.
struct PlainTable {
  bool value[256];
  constexpr PlainTable() : value() {
    for (int c = 0x20; c < 0x7F; ++c) value[c] = c != '"' && c != '\\';
  }
};
constexpr PlainTable kPlain;

// From the '[' at p: the position of the closing ']' when the array holds
// at least one string and only plain strings, else nullptr.
const char* plainStringArray(const char* p, const char* end) {
  ++p;
  for (;;) {
    while (p != end && isSpace(*p)) ++p;
    if (p == end || *p != '"') return nullptr;
    ++p;
    while (p != end && kPlain.value[static_cast<uint8_t>(*p)]) ++p;
    if (p == end || *p != '"') return nullptr;
    ++p;
    while (p != end && isSpace(*p)) ++p;
    if (p == end) return nullptr;
    if (*p == ']') return p;
    if (*p != ',') return nullptr;
    ++p;
  }
}

}  // namespace

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
  // Building one JSON string per HEX line cost most of the time. JsonCpp
  // parses the document with each "hex" array of plain strings emptied;
  // those lines are decoded where they lie in the file's text. The scan
  // only follows strings so as to find keys; comments, which could hide a
  // quote from it, leave the whole text to JsonCpp.
  std::vector<HexSpan> spans;
  std::string parsed;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* copied = begin;
  int keyState = 0;  // 1 after a "hex" string, 2 after its colon
  for (const char* p = begin; p != end;) {
    const char c = *p;
    if (c == '"') {
      const char* q = p + 1;
      while (q != end && *q != '"') q += (*q == '\\' && q + 1 != end) ? 2 : 1;
      if (q >= end) break;
      keyState = (q - p == 4 && std::memcmp(p + 1, "hex", 3) == 0) ? 1 : 0;
      p = q + 1;
      continue;
    }
    if (c == '/') {
      spans.clear();
      break;
    }
    if (isSpace(c)) {
      ++p;
      continue;
    }
    if (c == ':' && keyState == 1) {
      keyState = 2;
    } else if (c == '[' && keyState == 2) {
      keyState = 0;
      if (const char* close = plainStringArray(p, end)) {
        parsed.append(copied, p + 1);
        spans.push_back({parsed.size() - 1, p + 1, close});
        copied = close;
        p = close + 1;
        continue;
      }
    } else {
      keyState = 0;
    }
    ++p;
  }
  if (!spans.empty()) parsed.append(copied, end);
  const std::string& json = spans.empty() ? text : parsed;

  Json::Value root;
  try {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors)) {
      return BadStructure;
    }
  } catch (const std::exception&) {
    return BadStructure;
  }
  return openFromJson(root, spans);
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

LcApp::OpenResult LcApp::openFromJson(const Json::Value& root, const std::vector<HexSpan>& spans) {
  if (!root.isArray() || root.empty()) return BadStructure;

  for (const Json::Value& element : root) {
    if (!element.isObject()) return BadStructure;
    const Json::Value& name = element["name"];
    const Json::Value& lines = element["hex"];
    if (!name.isString() || !lines.isArray()) return BadStructure;
    const ModuleType type = typeFromTag(name.asString());
    if (!isKnownType(type) || hexes_.count(type) != 0) return BadStructure;

    // Each line is read as if all were joined by line feeds; a line that is
    // not a string is a bad structure even after bad HEX text.
    Hex hex;
    Hex::LineState state;
    bool badHex = false;
    const size_t offset = static_cast<size_t>(lines.getOffsetStart());
    const auto span =
        std::lower_bound(spans.begin(), spans.end(), offset,
                         [](const HexSpan& s, size_t at) { return s.parsedOffset < at; });
    if (lines.empty() && span != spans.end() && span->parsedOffset == offset) {
      for (const char* p = span->begin; !badHex;) {
        p = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(span->end - p)));
        if (p == nullptr) break;
        const char* close = static_cast<const char*>(
            std::memchr(p + 1, '"', static_cast<size_t>(span->end - p - 1)));
        badHex = hex.openLine(std::string_view(p + 1, static_cast<size_t>(close - p - 1)), state) !=
                 Hex::Ok;
        p = close + 1;
      }
    } else {
      if (!lines.isArray() || lines.empty()) return BadStructure;
      for (const Json::Value& line : lines) {
        if (!line.isString()) return BadStructure;
        if (badHex) continue;
        const char* b = nullptr;
        const char* e = nullptr;
        line.getString(&b, &e);
        badHex = hex.openLine(std::string_view(b, static_cast<size_t>(e - b)), state) != Hex::Ok;
      }
    }
    if (badHex) return BadHex;
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
