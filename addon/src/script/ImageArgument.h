#pragma once

// The image arguments of Player.addImage: the bytes, their pixel order and
// the crop form, read and checked on the script thread into a plain struct
// the core takes as it is.

#include <napi.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "player/Data.h"

namespace lc::script {

struct ImageArgument {
  // The view's own bytes; nullptr for a detached buffer, which holds
  // nothing to write.
  const unsigned char* data = nullptr;
  std::size_t length = 0;
  Data::Format format = Data::RGB;
  // The crop form: the screen-sized rectangle at (x, y) of a larger picture
  // whose rows are `stride` bytes apart.
  bool crop = false;
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t stride = 0;
};

// What a refused value is, for the error that refuses it ("a Float64Array",
// "null", "an object").
std::string describe(Napi::Value value);

// Reads info[index] (a Buffer, Uint8Array or Uint8ClampedArray), the format
// name after it and the crop options after that. False, with a TypeError or
// RangeError pending, for a wrong one.
bool readImage(const Napi::CallbackInfo& info, std::size_t index, ImageArgument& out);

// Narrows a crop form's bytes to its rectangle on a width x height screen.
// False, with a RangeError pending, when the rectangle does not lie wholly
// inside the picture. Without a screen yet nothing is written, as without
// the crop; without the crop form nothing changes.
bool narrowToCrop(Napi::Env env, std::uint32_t width, std::uint32_t height, ImageArgument& image);

}  // namespace lc::script
