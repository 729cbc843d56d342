'use strict';

// The relay's discovery responder: answers the UDP greeting with the text
// that names the relay and its TCP port. Binds 127.0.0.1 unless told
// otherwise, so that on a real machine it only ever answers local greeters;
// tests that need broadcast bind 0.0.0.0 inside a network namespace of their own.

const dgram = require('dgram');
const { EventEmitter } = require('events');

const GREETING = 'Hello relay';
const DISCOVERY_PORT = 9860;
// The name the relay that forwards to the SPI bus announces.
const SPI_PROXY_NAME = 'proxySPI';

const DISCOVERY_DEFAULTS = Object.freeze({
  host: '127.0.0.1',
  port: DISCOVERY_PORT, // UDP port of the greeting; 0 = any free one
  name: undefined, // default: 'virtual-relay', or SPI_PROXY_NAME for 'relayrpi'
  relayType: 'relay', // 'relay' | 'oldrelay' | 'relayrpi'
  tcpPort: 0, // the port the reply names
  repeat: 1, // replies per greeting
  floodMs: 0, // > 0: after a greeting, one more reply every floodMs until stopped
});

function replyText(name, tcpPort) {
  return `Hello, relay ${name} on port ${tcpPort}.`;
}

class DiscoveryResponder extends EventEmitter {
  constructor(options = {}) {
    super();
    this.options = { ...DISCOVERY_DEFAULTS, ...options };
    this.greetings = []; // { address, port } of every greeter
    this.socket = null;
    this.floods = new Set();
  }

  get name() {
    if (this.options.name !== undefined) return this.options.name;
    return this.options.relayType === 'relayrpi' ? SPI_PROXY_NAME : 'virtual-relay';
  }

  get port() {
    return this.socket ? this.socket.address().port : undefined;
  }

  // name, tcpPort, relayType, repeat, floodMs for the next replies.
  set(values) {
    Object.assign(this.options, values);
  }

  reply() {
    return replyText(this.name, this.options.tcpPort);
  }

  async start() {
    // Shared, so that several relays of one machine all hear a broadcast.
    this.socket = dgram.createSocket({ type: 'udp4', reuseAddr: true });
    this.socket.on('message', (message, from) => this._greeted(message, from));
    this.socket.on('error', () => {});
    await new Promise((resolve, reject) => {
      this.socket.once('error', reject);
      this.socket.bind(this.options.port, this.options.host, () => {
        this.socket.off('error', reject);
        resolve();
      });
    });
    return this.port;
  }

  async stop() {
    for (const timer of this.floods) clearInterval(timer);
    this.floods.clear();
    if (!this.socket) return;
    const socket = this.socket;
    this.socket = null;
    await new Promise((resolve) => socket.close(resolve));
  }

  // The first greeting (already received or still to come).
  waitForGreeting(timeoutMs = 5000) {
    if (this.greetings.length > 0) return Promise.resolve(this.greetings[0]);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.off('greeting', onGreeting);
        reject(new Error(`discovery responder: no greeting within ${timeoutMs} ms`));
      }, timeoutMs);
      const onGreeting = (g) => {
        clearTimeout(timer);
        resolve(g);
      };
      this.once('greeting', onGreeting);
    });
  }

  _greeted(message, from) {
    if (message.toString('latin1') !== GREETING) return;
    const greeter = { address: from.address, port: from.port };
    this.greetings.push(greeter);
    this.emit('greeting', greeter);
    for (let i = 0; i < this.options.repeat; i++) this._send(greeter);
    if (this.options.floodMs > 0) {
      const timer = setInterval(() => this._send(greeter), this.options.floodMs);
      timer.unref();
      this.floods.add(timer);
    }
  }

  _send(to) {
    if (!this.socket) return;
    this.socket.send(Buffer.from(this.reply(), 'utf8'), to.port, to.address, () => {});
  }
}

module.exports = { DiscoveryResponder, DISCOVERY_DEFAULTS, DISCOVERY_PORT, GREETING, replyText };
