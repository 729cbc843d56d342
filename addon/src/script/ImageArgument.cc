#include "script/ImageArgument.h"

#include <string>

#include "player/Player.h"
#include "script/Arguments.h"

namespace lc::script {

std::string describe(Napi::Value value) {
  if (value.IsTypedArray()) {
    switch (value.As<Napi::TypedArray>().TypedArrayType()) {
      case napi_int8_array:
        return "an Int8Array";
      case napi_uint8_array:
        return "a Uint8Array";
      case napi_uint8_clamped_array:
        return "a Uint8ClampedArray";
      case napi_int16_array:
        return "an Int16Array";
      case napi_uint16_array:
        return "a Uint16Array";
      case napi_int32_array:
        return "an Int32Array";
      case napi_uint32_array:
        return "a Uint32Array";
      case napi_float32_array:
        return "a Float32Array";
      case napi_float64_array:
        return "a Float64Array";
      case napi_bigint64_array:
        return "a BigInt64Array";
      case napi_biguint64_array:
        return "a BigUint64Array";
      default:
        return "a typed array";
    }
  }
  if (value.IsArrayBuffer()) return "an ArrayBuffer";
  if (value.IsDataView()) return "a DataView";
  if (value.IsArray()) return "an Array";
  switch (value.Type()) {
    case napi_undefined:
      return "undefined";
    case napi_null:
      return "null";
    case napi_boolean:
      return "a boolean";
    case napi_number:
      return "a number";
    case napi_string:
      return "a string";
    case napi_bigint:
      return "a bigint";
    case napi_function:
      return "a function";
    default:
      return "an object";
  }
}

bool readImage(const Napi::CallbackInfo& info, std::size_t index, ImageArgument& out) {
  Napi::Env env = info.Env();
  const Napi::Value image = info[index];
  // One look at the view gives its type and its own bytes, wherever they
  // lie: through its buffer object a view of a SharedArrayBuffer is
  // refused. Bytes only: a Float64Array or an Int32Array would be read as
  // its bytes, which is never the image it holds.
  bool typed = false;
  napi_typedarray_type type = napi_int8_array;
  void* data = nullptr;
  std::size_t length = 0;
  if (napi_is_typedarray(env, image, &typed) == napi_ok && typed &&
      napi_get_typedarray_info(env, image, &type, &length, &data, nullptr, nullptr) != napi_ok) {
    Napi::TypeError::New(env, "image could not be read").ThrowAsJavaScriptException();
    return false;
  }
  if (!typed || (type != napi_uint8_array && type != napi_uint8_clamped_array)) {
    Napi::TypeError::New(env, std::string("image must be a Buffer, a Uint8Array or a "
                                          "Uint8ClampedArray, not ") +
                                  describe(image))
        .ThrowAsJavaScriptException();
    return false;
  }
  out.data = static_cast<const unsigned char*>(data);
  out.length = length;
  std::string format = "RGB";
  if (!info[index + 1].IsUndefined() && !readString(info, index + 1, "format", format)) {
    return false;
  }
  out.format = Player::formatFromName(format);
  out.crop = !info[index + 2].IsUndefined();
  if (!out.crop) return true;
  Napi::Object options;
  return readOptions(info, index + 2, "crop", options) &&
         readProperty(options, "x", "crop.x", readUint32, out.x) &&
         readProperty(options, "y", "crop.y", readUint32, out.y) &&
         readProperty(options, "stride", "crop.stride", readUint32, out.stride, true);
}

bool narrowToCrop(Napi::Env env, std::uint32_t width, std::uint32_t height, ImageArgument& image) {
  if (!image.crop) return true;
  if (width == 0 || height == 0) {
    image.stride = 0;
    return true;
  }
  // The whole rectangle must lie inside the picture, every row of it
  // inside its own row, so no LED ever reads past the caller's bytes; the
  // mappings keep offsets in 32 bits, so its span must fit them.
  const std::uint64_t rowEnd = 4ull * (static_cast<std::uint64_t>(image.x) + width);
  const std::uint64_t first = static_cast<std::uint64_t>(image.y) * image.stride + 4ull * image.x;
  const std::uint64_t span = static_cast<std::uint64_t>(height - 1) * image.stride + 4ull * width;
  if (rowEnd > image.stride || first + span > image.length || span > 0x7fffffffu) {
    Napi::RangeError::New(env, "crop: the " + std::to_string(width) + "x" + std::to_string(height) +
                                   " rectangle at (" + std::to_string(image.x) + ", " +
                                   std::to_string(image.y) + ") lies outside the picture (" +
                                   std::to_string(image.length) + " bytes, rows of " +
                                   std::to_string(image.stride) + " bytes)")
        .ThrowAsJavaScriptException();
    return false;
  }
  image.data += first;
  image.length = static_cast<std::size_t>(span);
  return true;
}

}  // namespace lc::script
