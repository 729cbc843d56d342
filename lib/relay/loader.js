'use strict';

// The tiles' boot code as the virtual relay plays it: takes a loader stream
// (128-byte packets in frames of type 3), checks every packet, reassembles
// the images it carries and, when asked, compares them with the images it
// was told to expect. At the end of a good stream it changes its state word,
// keeps it, or closes the link, as set.

const { TAGS } = require('../models');

const PACKET = 128;
const KB = 1024;
const CMD = Object.freeze({
  SIZE: 0x02, MEMORY: 0x03, CURTAIN_JUMP: 0x05, JUMP: 0x14, START_RAM: 0x1e, RESET: 0x28,
  EMPTY: 0x32, FILLER: 0x00,
});
const ENDS = new Set([CMD.START_RAM, CMD.JUMP, CMD.RESET]);
const RAM = { base: 0xa0000000, kbPerUnit: 1, units: 128 };
const FLASH = [
  { base: 0x9d000000, kbPerUnit: 4, units: 32 },
  { base: 0x9d020000, kbPerUnit: 4, units: 96 },
];
const TYPE_CODES = new Set([0x002a, 0x002b, 0x2013]);

// The three little-endian copies of a header field; null when they differ.
function field(p, offset, width) {
  const read = (at) => p.readUIntLE(at, width);
  const v = read(offset);
  return read(offset + width) === v && read(offset + 2 * width) === v ? v : null;
}

// A header packet's fields, or an error text.
function header(p) {
  if (p[0] !== p[1] || p[1] !== p[2]) return { error: 'command copies differ' };
  for (const [from, to] of [[3, 6], [42, PACKET]]) {
    for (let i = from; i < to; i++) if (p[i] !== 0) return { error: `byte ${i} is not zero` };
  }
  const h = { command: p[0], selector: field(p, 6, 2), typeCode: field(p, 12, 2),
    argument: field(p, 18, 4), argument2: field(p, 30, 4) };
  for (const k of ['selector', 'typeCode', 'argument', 'argument2']) {
    if (h[k] === null) return { error: `${k} copies differ` };
  }
  return h;
}

function regionOf(address) {
  for (const r of [RAM, ...FLASH]) {
    const unit = (address - r.base) / (r.kbPerUnit * KB);
    if (Number.isInteger(unit) && unit >= 0 && unit < r.units) return r;
  }
  return null;
}

// Intel HEX text to a Map of 1024-byte blocks by address (0xFF where no
// record wrote).
function parseHex(text) {
  const blocks = new Map();
  let upper = 0;
  for (const raw of text.split('\n')) {
    const line = raw.trim();
    if (!line) continue;
    if (line[0] !== ':') throw new Error(`not a record: ${line}`);
    const bytes = Buffer.from(line.slice(1), 'hex');
    const count = bytes[0];
    if (bytes.length !== count + 5) throw new Error(`bad record length: ${line}`);
    if (bytes.reduce((a, b) => (a + b) & 0xff, 0) !== 0) throw new Error(`bad checksum: ${line}`);
    const type = bytes[3];
    const data = bytes.subarray(4, 4 + count);
    if (type === 0) {
      const start = upper + bytes.readUInt16BE(1);
      for (let i = 0; i < count; i++) {
        const address = (start + i) >>> 0;
        const kb = address - (address % KB);
        if (!blocks.has(kb)) blocks.set(kb, Buffer.alloc(KB, 0xff));
        blocks.get(kb)[address % KB] = data[i];
      }
    } else if (type === 1) {
      break;
    } else if (type === 2) {
      upper = data.readUInt16BE(0) * 16;
    } else if (type === 4) {
      upper = data.readUInt16BE(0) * 0x10000;
    }
  }
  return blocks;
}

// The images of a package document (its parsed JSON), in ascending type id:
// the order in which a stream carries them.
function packageImages(doc) {
  return doc
    .map((e) => ({ id: TAGS.indexOf(e.name), blocks: parseHex(e.hex.join('\n')) }))
    .filter((e) => e.id >= 0 && e.blocks.size > 0)
    .sort((a, b) => a.id - b.id)
    .map((e) => e.blocks);
}

// Block maps are equal when every kilobyte matches, a missing one counting
// as erased (0xFF).
function sameImage(a, b) {
  const erased = Buffer.alloc(KB, 0xff);
  for (const kb of new Set([...a.keys(), ...b.keys()])) {
    if (!(a.get(kb) || erased).equals(b.get(kb) || erased)) return false;
  }
  return true;
}

class LoaderSink {
  constructor(relay, options = {}) {
    this.relay = relay;
    // 'switch' (new state word), 'none' (state unchanged) or 'close'.
    this.reaction = options.loaderReaction || 'switch';
    // The state word after a good stream; by default the current one + 1.
    this.nextState = options.loaderState;
    this.expected = null; // array of block maps, or null for no comparison
    this.results = [];
    this.stream = null;
  }

  // Images to compare the next streams with: block maps, or a package
  // document (the parsed JSON of a package file).
  expect(images) {
    this.expected = images === null ? null
      : Array.isArray(images) && images.length > 0 && !(images[0] instanceof Map)
        ? packageImages(images) : images;
  }

  // True when the frame belongs to a loader stream (it was taken).
  take(frame) {
    if (frame.type !== 3) return false;
    const p = frame.payload;
    if (!this.stream) {
      if (p.length !== PACKET || p[0] !== CMD.SIZE || p[1] !== CMD.SIZE || p[2] !== CMD.SIZE) {
        return false;
      }
      this.stream = { packets: 0, units: 0, announced: null, images: [new Map()], pending: null,
        error: null };
    }
    this._packet(p);
    return true;
  }

  _packet(p) {
    const s = this.stream;
    s.packets++;
    if (s.error) {
      // Refused already: the rest of the stream is absorbed up to its end.
      const h = p.length === PACKET ? header(p) : { error: true };
      if (!h.error && ENDS.has(h.command) && h.selector === 0xffff) this.stream = null;
      return;
    }
    if (p.length !== PACKET) return this._fail(`packet ${s.packets} holds ${p.length} bytes`);
    if (s.pending) return this._data(p);
    const h = header(p);
    if (h.error) return this._fail(`packet ${s.packets}: ${h.error}`);
    const header16 = h.selector === 0xffff && h.typeCode === 0;
    switch (h.command) {
      case CMD.SIZE:
        if (s.packets !== 1 || !header16 || h.argument2 !== 0) return this._fail('misplaced size');
        s.announced = h.argument;
        return undefined;
      case CMD.MEMORY:
      case CMD.EMPTY: {
        const region = regionOf(h.argument);
        if (h.selector !== 0 || !TYPE_CODES.has(h.typeCode) || !region || h.argument2 !== 0) {
          return this._fail(`bad unit header at packet ${s.packets}`);
        }
        s.units++;
        if (h.command === CMD.MEMORY) {
          s.pending = { address: h.argument, kbPerUnit: region.kbPerUnit, chunk: 0, copy: 0,
            bytes: Buffer.alloc(region.kbPerUnit * KB), first: null };
        } else {
          s.pending = { fillers: 16, template: p };
        }
        return undefined;
      }
      case CMD.CURTAIN_JUMP:
        if (h.argument !== 0xa000f000 || h.argument2 !== 0xa000fa00 || h.selector !== 0) {
          return this._fail('bad curtain jump');
        }
        s.images.push(new Map());
        return undefined;
      default:
        if (!ENDS.has(h.command) || !header16 || h.argument !== 0 || h.argument2 !== 0) {
          return this._fail(`unexpected command 0x${h.command.toString(16)}`);
        }
        return this._end(h.command);
    }
  }

  // Data packets of a memory unit (each chunk three times) or the fillers of
  // an empty unit.
  _data(p) {
    const s = this.stream;
    const u = s.pending;
    if (u.fillers !== undefined) {
      const same = Buffer.from(u.template);
      same[0] = same[1] = same[2] = 0;
      if (!p.equals(same)) return this._fail(`bad filler at packet ${s.packets}`);
      if (--u.fillers === 0) s.pending = null;
      return undefined;
    }
    if (u.copy === 0) {
      u.first = Buffer.from(p);
    } else if (!p.equals(u.first)) {
      return this._fail(`chunk copies differ at packet ${s.packets}`);
    }
    if (++u.copy < 3) return undefined;
    u.first.copy(u.bytes, u.chunk * PACKET);
    u.copy = 0;
    if (++u.chunk * PACKET < u.bytes.length) return undefined;
    const image = s.images[s.images.length - 1];
    for (let k = 0; k < u.kbPerUnit; k++) {
      image.set(u.address + k * KB, Buffer.from(u.bytes.subarray(k * KB, (k + 1) * KB)));
    }
    s.pending = null;
    return undefined;
  }

  // Reported at once: the tiles would not run a broken stream.
  _fail(error) {
    const s = this.stream;
    s.error = error;
    const result = { ok: false, error, packets: s.packets, units: s.units, command: null,
      images: [], matches: null };
    this.results.push(result);
    this.relay.emit('upload', result);
  }

  _end(command) {
    const s = this.stream;
    this.stream = null;
    // The curtain jump closes each image; the last map is the empty one after it.
    const images = s.images.filter((m) => m.size > 0);
    const result = { ok: true, error: null, packets: s.packets, units: s.units, command, images,
      matches: null };
    if (s.announced !== s.units) {
      result.ok = false;
      result.error = `size packet announced ${s.announced} units, stream carried ${s.units}`;
    }
    if (result.ok && this.expected) {
      result.matches = images.length === this.expected.length
        && images.every((m, i) => sameImage(m, this.expected[i]));
      if (!result.matches) {
        result.ok = false;
        result.error = 'images differ from the expected ones';
      }
    }
    this.results.push(result);
    this.relay.emit('upload', result);
    if (!result.ok) return;
    if (this.reaction === 'close') {
      this.relay.disconnect();
    } else if (this.reaction === 'switch') {
      const next = this.nextState !== undefined ? this.nextState
        : (this.relay.status.state + 1) & 0xffff;
      this.relay.setState(next);
      // At once, as fast tiles would.
      this.relay.sendStatus();
    }
  }
}

module.exports = { LoaderSink, parseHex, packageImages, sameImage };
