// Reads arbitrary text as an application package, then saves the package
// and generates every loader stream from it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/LcApp.h"
#include "firmware/LoaderStream.h"

namespace {

// The types whose image holds a byte other than 0xFF: an image of erased
// bytes only is written without data lines and so comes back without blocks.
std::vector<uint8_t> programmedIds(const lc::LcApp& app) {
  std::vector<uint8_t> ids;
  for (uint8_t id : app.getIds()) {
    for (const auto& entry : app.getHex(id)) {
      const lc::Hex::Block& block = entry.second;
      if (std::any_of(block.begin(), block.end(), [](uint8_t b) { return b != 0xFF; })) {
        ids.push_back(id);
        break;
      }
    }
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  lc::LcApp app;
  app.openFromStream(in);

  // What was taken must survive a save and a reopen.
  std::istringstream saved(app.saveToString());
  lc::LcApp back;
  const int reopened = back.openFromStream(saved);
  if (app.getIds().empty() ? reopened != lc::LcApp::BadStructure : reopened != lc::LcApp::Opened) {
    std::abort();
  }
  if (back.getIds() != programmedIds(app)) std::abort();

  for (uint32_t kind = lc::LoaderStream::AppOnly; kind <= lc::LoaderStream::Fallback; ++kind) {
    lc::LoaderStream loader(app);
    loader.generate(static_cast<lc::LoaderStream::Type>(kind));
    if (loader.data().size() % lc::LoaderStream::kPacketSize != 0) std::abort();
  }
  return 0;
}
