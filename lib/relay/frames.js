'use strict';

// The link's frame format: a 4-byte header (u16 type, u16 payload length,
// both little-endian) followed by the payload.

const HEADER_SIZE = 4;
const MAX_PAYLOAD = 0xffff;

const FrameType = Object.freeze({ STATUS: 0, DATA_ONE: 1, DATA_TWO: 2, CLOSE: 3 });

function encodeFrame(type, payload = Buffer.alloc(0)) {
  const body = Buffer.from(payload);
  if (body.length > MAX_PAYLOAD) throw new RangeError(`payload of ${body.length} bytes`);
  const header = Buffer.alloc(HEADER_SIZE);
  header.writeUInt16LE(type & 0xffff, 0);
  header.writeUInt16LE(body.length, 2);
  return Buffer.concat([header, body]);
}

// The 18-byte status payload; `length` cuts it (4, 8 and 18 are the usual).
function statusPayload({ state = 0, pace = 1, version = 0, packetSize = 918, aux1 = 128,
  aux2 = 60, flags = 8 } = {}, length = 18) {
  const p = Buffer.alloc(18);
  p.writeUInt16LE(state & 0xffff, 0);
  p.writeUInt16LE(pace & 0xffff, 2);
  p.writeUInt32LE(version >>> 0, 4);
  p.writeUInt16LE(packetSize & 0xffff, 8);
  p.writeUInt16LE(aux1 & 0xffff, 10);
  p.writeUInt32LE(aux2 >>> 0, 12);
  p.writeUInt16LE(flags & 0xffff, 16);
  return p.subarray(0, Math.max(0, Math.min(18, length)));
}

// Cuts a byte stream into frames, whatever the segments it arrives in.
class FrameParser {
  constructor(onFrame) {
    this.onFrame = onFrame;
    this.pending = Buffer.alloc(0);
  }

  push(chunk) {
    this.pending = this.pending.length ? Buffer.concat([this.pending, chunk]) : chunk;
    while (this.pending.length >= HEADER_SIZE) {
      const type = this.pending.readUInt16LE(0);
      const length = this.pending.readUInt16LE(2);
      if (this.pending.length < HEADER_SIZE + length) break;
      const payload = Buffer.from(this.pending.subarray(HEADER_SIZE, HEADER_SIZE + length));
      this.pending = this.pending.subarray(HEADER_SIZE + length);
      this.onFrame({ type, payload });
    }
  }
}

module.exports = { HEADER_SIZE, MAX_PAYLOAD, FrameType, encodeFrame, statusPayload, FrameParser };
