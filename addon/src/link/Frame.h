#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace lc {

// The wire frame, the same in both directions: u16 type, u16 payload length
// (both little-endian), then the payload.
struct Frame {
  static constexpr unsigned int kHeaderSize = 4;
  static constexpr unsigned int kMaxPayload = 65535;
  static constexpr unsigned int kMaxSize = kHeaderSize + kMaxPayload;

  // The two directions reuse the numbers 0 to 3 with different meanings, so
  // each number has one name per direction.
  enum Type : uint16_t {
    // From the relay.
    Status = 0,   // status word, pace, version, packet size...
    DataOne = 1,  // data for the waiting command or application
    DataTwo = 2,  // the same, second kind
    Close = 3,    // the relay ends a session; the link stays up
    // To the relay.
    Stream = 0,   // pixel frames after the first of a playback; custom broadcast data
    Command = 1,  // application change, luminosity, reset
    Request = 2,  // empty-payload requests (topology, custom)
    Block = 3,    // 128-byte firmware, file-transfer and custom data blocks
    Pixels = 5,   // the first pixel frame of a playback
  };
};

struct FrameHeader {
  uint16_t type;
  uint16_t length;
};

inline void encodeHeader(uint16_t type, uint16_t length, unsigned char out[Frame::kHeaderSize]) {
  out[0] = uint8_t(type & 0xFF);
  out[1] = uint8_t(type >> 8);
  out[2] = uint8_t(length & 0xFF);
  out[3] = uint8_t(length >> 8);
}

inline FrameHeader decodeHeader(const unsigned char in[Frame::kHeaderSize]) {
  return {uint16_t(in[0] | (in[1] << 8)), uint16_t(in[2] | (in[3] << 8))};
}

// One whole frame, header and payload contiguous. Valid only during the
// visitor call that received it.
struct FrameView {
  uint16_t type;
  const unsigned char* bytes;  // header, then payload
  unsigned int size;           // kHeaderSize + payload length
  const unsigned char* payload() const { return bytes + Frame::kHeaderSize; }
  unsigned int length() const { return size - Frame::kHeaderSize; }
};

// Cuts a byte stream, handed over in pieces split anywhere, into whole
// frames. Frames that lie whole inside a piece are handed out where they lie;
// only a frame cut by the end of a piece is copied, into a buffer sized once
// for the largest frame. Nothing is allocated after construction.
class FrameCutter {
 public:
  FrameCutter() : buffer_(new unsigned char[Frame::kMaxSize]) {}
  FrameCutter(const FrameCutter&) = delete;
  FrameCutter& operator=(const FrameCutter&) = delete;

  // Calls visit(const FrameView&) for every frame completed by these bytes,
  // in stream order. Bytes of an unfinished frame are kept for the next call.
  template <typename Visitor>
  void feed(const unsigned char* data, size_t size, Visitor&& visit) {
    if (held_ > 0) {
      const size_t used = completeHeld(data, size);
      data += used;
      size -= used;
      if (held_ > 0) return;  // still unfinished: every byte was taken
      visit(view(buffer_.get()));
    }
    while (size >= Frame::kHeaderSize) {
      const size_t whole = Frame::kHeaderSize + decodeHeader(data).length;
      if (size < whole) break;
      visit(view(data));
      data += whole;
      size -= whole;
    }
    if (size > 0) {  // less than one frame: never more than kMaxSize - 1
      std::memcpy(buffer_.get(), data, size);
      held_ = size;
    }
  }

  // Bytes of an unfinished frame waiting for the rest.
  size_t pending() const { return held_; }
  // Forgets an unfinished frame, for a new stream.
  void reset() { held_ = 0; }

 private:
  static FrameView view(const unsigned char* frame) {
    const FrameHeader h = decodeHeader(frame);
    return {h.type, frame, Frame::kHeaderSize + h.length};
  }

  // Appends to the held frame up to its end; returns the bytes taken. Leaves
  // held_ at 0 when the frame is complete in buffer_ (the caller visits it).
  size_t completeHeld(const unsigned char* data, size_t size) {
    unsigned char* buf = buffer_.get();
    size_t used = 0;
    if (held_ < Frame::kHeaderSize) {
      const size_t take = std::min(Frame::kHeaderSize - held_, size);
      std::memcpy(buf + held_, data, take);
      held_ += take;
      used += take;
      if (held_ < Frame::kHeaderSize) return used;
    }
    const size_t whole = Frame::kHeaderSize + decodeHeader(buf).length;
    const size_t take = std::min(whole - held_, size - used);
    std::memcpy(buf + held_, data + used, take);
    held_ += take;
    used += take;
    if (held_ == whole) held_ = 0;
    return used;
  }

  std::unique_ptr<unsigned char[]> buffer_;
  size_t held_ = 0;
};

}  // namespace lc
