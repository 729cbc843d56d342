'use strict';

// The relay's SD card: takes a write-file frame (code 1, u32 size, u8 name
// length, name), answers Ready, acknowledges every 128-byte data frame with
// the count it still expects, answers Received after every 4096 bytes and
// after the last frame, stores the file and answers Done. It can fail or
// stall at any of those steps on demand.

const fs = require('fs');
const path = require('path');

const Response = Object.freeze({ READY: 1, DONE: 2, RECEIVED: 3, FAILED: 4 });
const CHUNK = 128;
const CYCLE = 4096;
const MAX_NAME = 122;
// Where a fault can be played.
const STEPS = ['ready', 'data', 'received', 'done'];

function response(code, remaining = 0) {
  const p = Buffer.alloc(5);
  p[0] = code;
  p.writeUInt32LE(remaining >>> 0, 1);
  return p;
}

class SdCard {
  constructor(relay, options = {}) {
    this.relay = relay;
    this.files = new Map(); // name -> Buffer
    this.dir = options.sdDir || null; // also written there when set
    this.fault = null;
    if (options.sdFault) this.setFault(options.sdFault);
    this.transfer = null;
  }

  // `kind` 'fail' (answer Failed) or 'stall' (answer nothing) at one step:
  // 'ready', 'data' (the first acknowledgement), 'received' or 'done'.
  // A text "fail-ready" is taken too; null clears it.
  setFault(kind, at) {
    if (kind === null) {
      this.fault = null;
      return;
    }
    if (at === undefined && typeof kind === 'string') [kind, at] = kind.split('-');
    if (!['fail', 'stall'].includes(kind) || !STEPS.includes(at)) {
      throw new Error(`unknown SD fault ${kind}-${at}`);
    }
    this.fault = { kind, at };
  }

  // True when the frame belongs to a file transfer (it was taken).
  take(frame) {
    if (frame.type !== 3) return false;
    const p = frame.payload;
    if (!this.transfer) {
      if (p.length !== 128 || p[0] !== 1) return false; // not a write-file frame
      this._begin(p);
      return true;
    }
    this._data(p);
    return true;
  }

  _begin(p) {
    if (p.length < 6 || p[5] > MAX_NAME || p.length < 6 + p[5]) {
      this.relay.sendData(response(Response.FAILED));
      return;
    }
    const size = p.readUInt32LE(1);
    const name = p.subarray(6, 6 + p[5]).toString('latin1');
    this.transfer = { name, size, bytes: Buffer.alloc(size), received: 0, acks: 0 };
    this.relay.emit('sdstart', { name, size });
    if (this._faulted('ready')) {
      this.transfer = null;
      return;
    }
    this._answer(Response.READY, size);
    if (size === 0) this._finish();
  }

  _data(p) {
    const t = this.transfer;
    const take = Math.min(CHUNK, t.size - t.received);
    p.copy(t.bytes, t.received, 0, Math.min(take, p.length));
    t.received += take;
    const remaining = t.size - t.received;
    if (t.received % CYCLE === 0 || remaining === 0) {
      if (this._faulted('received')) return;
      this._answer(Response.RECEIVED, remaining);
      if (remaining === 0) this._finish();
    } else {
      if (t.acks++ === 0 && this._faulted('data')) return;
      this._answer(Response.READY, remaining);
    }
  }

  _finish() {
    const t = this.transfer;
    this.transfer = null;
    if (this._faulted('done')) return;
    this.files.set(t.name, t.bytes);
    if (this.dir) {
      // Only the last component: a name never leaves the directory.
      const safe = path.basename(t.name.replace(/[\0\n\\]/g, '_'));
      if (safe && safe !== '.' && safe !== '..') fs.writeFileSync(path.join(this.dir, safe), t.bytes);
    }
    this.relay.emit('sdfile', { name: t.name, bytes: t.bytes });
    this._answer(Response.DONE, 0);
  }

  // Plays the fault set for this step; true when it did (the transfer ends).
  _faulted(step) {
    if (!this.fault || this.fault.at !== step) return false;
    if (this.fault.kind === 'fail') this._answer(Response.FAILED, 0);
    this.transfer = null;
    return true;
  }

  _answer(code, remaining) {
    this.relay.sendData(response(code, remaining));
  }
}

module.exports = { SdCard, Response };
