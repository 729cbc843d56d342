'use strict';

// A stand-in for the relay: a TCP server that paces its clients with status
// frames, sends data, close and arbitrary frames on demand, records what it
// receives and injects faults. Listens on 127.0.0.1 only.

const net = require('net');
const { EventEmitter } = require('events');
const { FrameType, encodeFrame, statusPayload, FrameParser, MAX_PAYLOAD } = require('./frames');
const { CustomAppPeer } = require('./customapp');
const { attachPixels, pixelMethods } = require('./pixels');
const { attachSensors, sensorMethods } = require('./sensors');
const { LoaderSink } = require('./loader');
const { SdCard } = require('./sdcard');
const { DiscoveryResponder } = require('./discovery');
const { CommandBehaviour } = require('./commands');
const { RecordStream } = require('./installation');

// The client's frame type of loader packets, SD-card frames and custom
// application data.
const BLOCK_FRAME = 3;

const DEFAULTS = Object.freeze({
  host: '127.0.0.1',
  port: 0,
  period: 100, // ms between status frames; 0 sends them only on demand
  state: 0,
  pace: 1,
  version: 0,
  packetSize: 918,
  aux1: 128,
  aux2: 60,
  flags: 8,
  statusLength: 18, // payload bytes of each status frame
  // `received` keeps at least this many of the newest frames and fewer than
  // twice as many, so a relay left running for hours holds a bounded tail.
  // Tests that read every frame keep them all.
  keepFrames: Infinity,
});

class VirtualRelay extends EventEmitter {
  constructor(options = {}) {
    super();
    this.options = { ...DEFAULTS, ...options };
    this.status = {};
    for (const k of ['state', 'pace', 'version', 'packetSize', 'aux1', 'aux2', 'flags']) {
      this.status[k] = this.options[k];
    }
    this.statusLength = this.options.statusLength;
    this.period = this.options.period;
    this.received = []; // the frames of every client, oldest first: {type, payload}
    this.keepFrames = this.options.keepFrames;
    if (!(this.keepFrames >= 1)) throw new RangeError(`keepFrames must be at least 1, not ${this.keepFrames}`);
    this.sockets = new Set();
    this.connections = 0;
    this.server = null;
    this.timer = null;
    this.stalled = false;
    // Nothing at all is written while set (see silence()).
    this.silent = false;
    // A fault waiting for block frames (see faultAfterBlocks()).
    this.blockFault = null;
    this.customApp = new CustomAppPeer(this, this.options);
    attachPixels(this);
    attachSensors(this);
    this.loader = new LoaderSink(this, this.options);
    this.sd = new SdCard(this, this.options);
    // Answers to commands and to the topology request (see their files).
    this.commands = new CommandBehaviour(this, this.options);
    this.records = new RecordStream(this, this.options);
    if (this.options.installation) this.setInstallation(this.options.installation);
  }

  get port() {
    return this.server ? this.server.address().port : undefined;
  }

  get clientCount() {
    return this.sockets.size;
  }

  async start() {
    this.server = net.createServer((socket) => this._accept(socket));
    await new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(this.options.port, this.options.host, resolve);
    });
    this._schedule();
    return this.port;
  }

  // Answers the UDP discovery greeting for this relay (options: discovery.js).
  async startDiscovery(options = {}) {
    this.discovery = new DiscoveryResponder({ tcpPort: this.port, ...options });
    return this.discovery.start();
  }

  async stop() {
    this.commands.stop();
    this.records.stop();
    if (this.discovery) await this.discovery.stop();
    clearInterval(this.timer);
    this.timer = null;
    for (const s of this.sockets) s.destroy();
    this.sockets.clear();
    if (this.server) {
      await new Promise((resolve) => this.server.close(() => resolve()));
      this.server = null;
    }
  }

  // Status values for the next frames; setState changes only the state word.
  set(values) {
    Object.assign(this.status, values);
    if (values.statusLength !== undefined) this.statusLength = values.statusLength;
  }

  setState(state) {
    this.status.state = state;
  }

  setPeriod(ms) {
    this.period = ms;
    this._schedule();
  }

  sendStatus(values = {}, length = this.statusLength) {
    this.sendFrame(FrameType.STATUS, statusPayload({ ...this.status, ...values }, length));
    this.emit('status-sent');
  }

  sendData(payload, typeOne = true) {
    this.sendFrame(typeOne ? FrameType.DATA_ONE : FrameType.DATA_TWO, payload);
  }

  // A close frame: the connection stays open.
  sendClose() {
    this.sendFrame(FrameType.CLOSE);
  }

  sendFrame(type, payload = Buffer.alloc(0)) {
    this.sendRaw(encodeFrame(type, payload));
  }

  sendRaw(bytes) {
    if (this.silent) return;
    for (const s of this.sockets) s.write(bytes);
  }

  // Closes every client connection; the server keeps listening.
  disconnect() {
    for (const s of this.sockets) s.destroy();
  }

  // Faults -----------------------------------------------------------------

  closeMidHeader() {
    this._cutAfter(encodeFrame(FrameType.STATUS, statusPayload(this.status)).subarray(0, 2));
  }

  closeMidPayload() {
    this._cutAfter(encodeFrame(FrameType.DATA_ONE, Buffer.alloc(100, 7)).subarray(0, 50));
  }

  // Silence: no status frames until resume().
  stall() {
    this.stalled = true;
  }

  resume() {
    this.stalled = false;
    this.silent = false;
  }

  // A relay that hangs: no status frames, no answers, no module records
  // until resume(); the connection stays open and what comes in is still
  // read and recorded.
  silence() {
    this.stalled = true;
    this.silent = true;
  }

  // Plays `fault` once `count` more block frames (loader packets, SD-card
  // frames) came in, right after the relay acted on the last of them:
  // 'silence', 'close' (the connections are destroyed), or a function
  // called with the relay. Only one waits at a time; null clears it.
  faultAfterBlocks(count, fault) {
    if (fault === null) {
      this.blockFault = null;
      return;
    }
    if (!(Number.isInteger(count) && count >= 1)) throw new RangeError('count must be at least 1');
    const play = { silence: () => this.silence(), close: () => this.disconnect() }[fault] ||
      (typeof fault === 'function' ? () => fault(this) : null);
    if (!play) throw new Error(`unknown block fault ${fault}`);
    this.blockFault = { left: count, play };
  }

  sendEmpty(type = FrameType.STATUS) {
    this.sendFrame(type);
  }

  sendLargest(type = FrameType.DATA_TWO) {
    const payload = Buffer.alloc(MAX_PAYLOAD);
    for (let i = 0; i < payload.length; i++) payload[i] = i & 0xff;
    this.sendFrame(type, payload);
  }

  sendUnknown(type = 7, payload = Buffer.from([1, 2, 3])) {
    this.sendFrame(type, payload);
  }

  // `count` status frames written back to back in one piece.
  flood(count, values = {}) {
    const one = encodeFrame(FrameType.STATUS, statusPayload({ ...this.status, ...values },
      this.statusLength));
    this.sendRaw(Buffer.concat(new Array(count).fill(one)));
  }

  // Waiting ---------------------------------------------------------------

  // The first received frame (already recorded or still to come) for which
  // `match` is true; rejects after `timeoutMs`.
  waitForFrame(match = () => true, timeoutMs = 5000) {
    const seen = this.received.find(match);
    if (seen) return Promise.resolve(seen);
    return this._waitEvent('frame', match, timeoutMs);
  }

  waitForClient(timeoutMs = 5000) {
    if (this.sockets.size > 0) return Promise.resolve();
    return this._waitEvent('connection', () => true, timeoutMs);
  }

  waitForDisconnect(timeoutMs = 5000) {
    if (this.sockets.size === 0) return Promise.resolve();
    return this._waitEvent('disconnect', () => this.sockets.size === 0, timeoutMs);
  }

  // Internals --------------------------------------------------------------

  _accept(socket) {
    socket.setNoDelay(true);
    this.sockets.add(socket);
    this.connections++;
    const parser = new FrameParser((frame) => {
      this.received.push(frame);
      // Trimmed in steps, so that a kept tail costs no copy per frame.
      if (this.received.length >= 2 * this.keepFrames) {
        this.received.splice(0, this.received.length - this.keepFrames);
      }
      this.emit('frame', frame, socket);
      // Custom-application data shares the block frames, and a session opens
      // with the same empty frame as a topology request: so blocks are told
      // apart by their content, not by a session having been opened. A loader
      // stream opens with its size packet, an SD transfer with a write-file
      // frame; both are whole 128-byte blocks.
      if (!this.loader.take(frame)) this.sd.take(frame);
      if (frame.type === BLOCK_FRAME) this._countBlock();
    });
    socket.on('data', (chunk) => parser.push(chunk));
    socket.on('error', () => {});
    socket.on('close', () => {
      this.sockets.delete(socket);
      this.emit('disconnect');
    });
    this.emit('connection', socket);
  }

  _schedule() {
    clearInterval(this.timer);
    this.timer = null;
    if (!this.server || !(this.period > 0)) return;
    this.timer = setInterval(() => {
      if (!this.stalled) this.sendStatus();
    }, this.period);
    this.timer.unref();
  }

  _countBlock() {
    const f = this.blockFault;
    if (!f || --f.left > 0) return;
    this.blockFault = null;
    f.play();
  }

  _cutAfter(bytes) {
    for (const s of this.sockets) s.end(bytes);
  }

  _waitEvent(name, match, timeoutMs) {
    return new Promise((resolve, reject) => {
      const onEvent = (value) => {
        if (!match(value)) return;
        clearTimeout(timer);
        this.off(name, onEvent);
        resolve(value);
      };
      const timer = setTimeout(() => {
        this.off(name, onEvent);
        reject(new Error(`virtual relay: no ${name} within ${timeoutMs} ms`));
      }, timeoutMs);
      this.on(name, onEvent);
    });
  }
}

Object.assign(VirtualRelay.prototype, pixelMethods, sensorMethods);

module.exports = { VirtualRelay, DEFAULTS };
