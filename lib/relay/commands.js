'use strict';

// How the virtual relay answers command frames (type 1, payload [code,
// argument]): an application change moves its state word after a delay (or
// never), a luminosity is recorded, and a reset reports state 0 for a while
// or closes the connection.

const COMMAND_FRAME = 1;
const Code = Object.freeze({ RESET: 1, APPLICATION: 2, LUMINOSITY: 4, FALLBACK: 5, ALTERNATE: 6 });
const RESET_CODES = new Set([Code.RESET, Code.FALLBACK, Code.ALTERNATE]);
const RESET_MODES = new Set(['state0', 'close', 'ignore']);

const COMMAND_DEFAULTS = Object.freeze({
  appDelay: 100, // ms until the state word moves after a change; negative or null: never
  appState: null, // the state word after a change; null: the previous one plus 1 (never 0)
  resetMode: 'state0', // 'state0', 'close' or 'ignore'
  resetHold: 300, // ms the state word stays 0 after a reset
});

function checkBehaviour(b) {
  if (!RESET_MODES.has(b.resetMode)) throw new RangeError(`unknown resetMode ${b.resetMode}`);
}

class CommandBehaviour {
  constructor(relay, options) {
    this.relay = relay;
    this.behaviour = {};
    for (const k of Object.keys(COMMAND_DEFAULTS)) {
      this.behaviour[k] = options[k] === undefined ? COMMAND_DEFAULTS[k] : options[k];
    }
    checkBehaviour(this.behaviour);
    this.timers = new Set();
    // What the relay was told, for tests and the CLI.
    this.luminosity = undefined;
    this.application = undefined;
    this.commands = []; // every command frame: {code, argument}
    relay.on('frame', (frame, socket) => this.onFrame(frame, socket));
  }

  set(values) {
    const next = { ...this.behaviour };
    for (const k of Object.keys(COMMAND_DEFAULTS)) if (values[k] !== undefined) next[k] = values[k];
    checkBehaviour(next);
    this.behaviour = next;
  }

  stop() {
    for (const t of this.timers) clearTimeout(t);
    this.timers.clear();
  }

  onFrame(frame, socket) {
    if (frame.type !== COMMAND_FRAME || frame.payload.length < 2) return;
    const code = frame.payload[0];
    const argument = frame.payload[1];
    this.commands.push({ code, argument });
    this.relay.emit('command', { code, argument });
    if (code === Code.APPLICATION) this.changeApplication(argument);
    else if (code === Code.LUMINOSITY) this.luminosity = argument;
    else if (RESET_CODES.has(code)) this.reset(socket);
  }

  changeApplication(application) {
    this.application = application;
    const { appDelay, appState } = this.behaviour;
    if (appDelay === null || appDelay < 0) return;
    this.later(appDelay, () => {
      const now = this.relay.status.state;
      this.relay.setState(appState === null ? ((now + 1) & 0xffff) || 1 : appState);
    });
  }

  reset(socket) {
    const { resetMode, resetHold } = this.behaviour;
    if (resetMode === 'close') {
      socket.destroy();
    } else if (resetMode === 'state0') {
      const before = this.relay.status.state;
      this.relay.setState(0);
      this.relay.sendStatus();
      this.later(resetHold, () => this.relay.setState(before));
    }
  }

  later(ms, fn) {
    const t = setTimeout(() => {
      this.timers.delete(t);
      fn();
    }, ms);
    t.unref();
    this.timers.add(t);
  }
}

module.exports = { CommandBehaviour, COMMAND_DEFAULTS, Code };
