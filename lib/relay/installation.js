'use strict';

// The module records of the virtual relay's installation (the topology
// document given to setInstallation: an array of {id, type, neighbours:
// [{channel, id, child}]}), streamed as a repeating cycle in data frames once
// the relay is asked (a frame of type 2 with an empty payload).
//
// A record is 16-bit little-endian words: the total number of modules, the
// module id, one link kind per channel (0 none, 1 neighbour, 2 child) and one
// neighbour id per channel, for as many channels as the largest channel count
// of the relay's and the tiles' types.

const { encodeFrame } = require('./frames');
const { typeOf, channelCount } = require('../models');

const REQUEST_FRAME = 2;

const STREAM_DEFAULTS = Object.freeze({
  recordsPerFrame: 8,
  frameInterval: 0, // ms between data frames; 0 sends the next one as soon as the socket drains
  cycles: 3, // cycles sent for each request
  startAt: 0, // the record of the cycle the stream begins with
  wrongTotal: null, // a total written in every record instead of the module count
  gap: null, // the id of a module whose record is left out
  dataType: 1, // frame type of the data frames (1 or 2)
});

// The records of one cycle, in id order.
function moduleRecords(document, { wrongTotal = null } = {}) {
  if (!Array.isArray(document) || document.length === 0) return [];
  const modules = [...document].sort((a, b) => a.id - b.id);
  const relayType = typeOf(modules[0].type);
  const tile = modules.find((m) => m.id !== 0);
  const m = Math.max(channelCount(relayType), tile ? channelCount(typeOf(tile.type)) : 0);
  const total = wrongTotal === null ? modules.length : wrongTotal;
  return modules.map((module) => {
    const record = Buffer.alloc(4 + 4 * m);
    record.writeUInt16LE(total & 0xffff, 0);
    record.writeUInt16LE(module.id & 0xffff, 2);
    for (const n of module.neighbours || []) {
      if (n.channel >= m) continue;
      record.writeUInt16LE(n.child === 1 ? 2 : 1, 4 + 2 * n.channel);
      record.writeUInt16LE(n.id & 0xffff, 4 + 2 * (m + n.channel));
    }
    return record;
  });
}

// A rectangle of `columns` x `rows` square tiles (channels 0 north, 1 east,
// 2 south, 3 west) behind a relay joined to the top-left tile's channel 0.
// Ids go row by row; each tile's parent is the one west of it, or north of
// it in the first column. `type` is a tag or id, or a function giving one
// for each tile id.
function gridInstallation(columns, rows, type = 'quadra') {
  const typeAt = typeof type === 'function' ? type : () => type;
  const id = (c, r) => 1 + r * columns + c;
  const doc = [{ id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] }];
  const parentOf = (c, r) => (c > 0 ? id(c - 1, r) : r > 0 ? id(0, r - 1) : 0);
  for (let r = 0; r < rows; r++) {
    for (let c = 0; c < columns; c++) {
      const me = id(c, r);
      const neighbours = me === 1 ? [{ channel: 0, id: 0, child: 0 }] : [];
      const around = [[0, c, r - 1], [1, c + 1, r], [2, c, r + 1], [3, c - 1, r]];
      for (const [channel, nc, nr] of around) {
        if (nc < 0 || nr < 0 || nc >= columns || nr >= rows) continue;
        const other = id(nc, nr);
        neighbours.push({ channel, id: other, child: parentOf(nc, nr) === me ? 1 : 0 });
      }
      doc.push({ id: me, type: typeOf(typeAt(me)), neighbours });
    }
  }
  return doc;
}

class RecordStream {
  constructor(relay, options) {
    this.relay = relay;
    this.stream = { ...STREAM_DEFAULTS };
    this.requests = 0;
    this.timers = new Set();
    // A new request on a connection ends the stream that answered the last one.
    this.streams = new WeakMap();
    this.set(options);
    relay.on('frame', (frame, socket) => {
      if (frame.type === REQUEST_FRAME && frame.payload.length === 0) this.answer(socket);
    });
  }

  // How the records are streamed.
  set(options = {}) {
    for (const k of Object.keys(STREAM_DEFAULTS)) {
      if (options[k] !== undefined) this.stream[k] = options[k];
    }
    if (!(this.stream.recordsPerFrame >= 1)) throw new RangeError('recordsPerFrame must be at least 1');
  }

  get document() {
    return this.relay.installation ? this.relay.installation.doc : null;
  }

  stop() {
    for (const t of this.timers) clearTimeout(t);
    this.timers.clear();
  }

  // The frames one request is answered with.
  frames() {
    const { recordsPerFrame, cycles, startAt, wrongTotal, gap } = this.stream;
    const cycle = moduleRecords(this.document, { wrongTotal });
    if (cycle.length === 0) return [];
    const records = [];
    for (let i = 0; i < cycles * cycle.length; i++) {
      const record = cycle[(startAt + i) % cycle.length];
      if (gap !== null && record.readUInt16LE(2) === gap) continue;
      records.push(record);
    }
    const out = [];
    for (let i = 0; i < records.length; i += recordsPerFrame) {
      out.push(Buffer.concat(records.slice(i, i + recordsPerFrame)));
    }
    return out;
  }

  recordSize() {
    const cycle = moduleRecords(this.document);
    return cycle.length ? cycle[0].length : 1;
  }

  answer(socket) {
    this.requests++;
    const frames = this.frames();
    const { frameInterval, dataType, recordsPerFrame } = this.stream;
    const records = frames.reduce((n, f) => n + f.length, 0) / this.recordSize();
    let next = 0;
    const token = {};
    this.streams.set(socket, token);
    const sendNext = () => {
      while (next < frames.length && !socket.destroyed && this.streams.get(socket) === token) {
        // A silenced relay drops the rest of the answer, as a hung one would.
        if (this.relay.silent) return;
        const ok = socket.write(encodeFrame(dataType, frames[next++]));
        // For measurements: how many records of this answer are out.
        this.relay.emit('records', Math.min(next * recordsPerFrame, records));
        if (frameInterval > 0) {
          const t = setTimeout(() => {
            this.timers.delete(t);
            sendNext();
          }, frameInterval);
          this.timers.add(t);
          return;
        }
        if (!ok) {
          socket.once('drain', sendNext);
          return;
        }
      }
    };
    sendNext();
  }
}

module.exports = { RecordStream, moduleRecords, gridInstallation, STREAM_DEFAULTS };
