'use strict';

// The custom application's end of the relay. A client opens a session with
// an empty frame of type 2; from then on its frames of type 0 are broadcasts
// and those of type 3 data messages, both recorded. With echo on, each data
// message comes straight back as a data frame, as an application that
// answers every message would send it.
//
// Pixel frames (type 0) and upload blocks (type 3) share these types, and a
// topology request is an empty type 2 too: such frames are recorded as well,
// so tests that mix them look for what they expect. Each record keeps the
// latest RECORDS messages, so a long playback does not grow it without end.

const { FrameType } = require('./frames');

const CustomFrame = Object.freeze({ BROADCAST: 0, START: 2, DATA: 3 });
const RECORDS = 1000;

function keep(list, payload) {
  list.push(payload);
  if (list.length > RECORDS) list.shift();
}

class CustomAppPeer {
  constructor(relay, { echo = false } = {}) {
    this.relay = relay;
    this.echo = Boolean(echo);
    this.starts = 0;
    this.broadcasts = [];
    this.data = [];
    relay.on('frame', (frame) => this._onFrame(frame));
  }

  setEcho(enabled) {
    this.echo = Boolean(enabled);
  }

  // A message from the application to the module: a data frame of type 1,
  // or of type 2 when typeOne is false.
  send(payload, typeOne = true) {
    this.relay.sendData(payload, typeOne);
  }

  clear() {
    this.starts = 0;
    this.broadcasts = [];
    this.data = [];
  }

  _onFrame({ type, payload }) {
    if (type === CustomFrame.START && payload.length === 0) {
      this.starts++;
      this.relay.emit('customapp', { kind: 'start' });
      return;
    }
    if (this.starts === 0) return;
    if (type === CustomFrame.BROADCAST) {
      keep(this.broadcasts, payload);
      this.relay.emit('customapp', { kind: 'broadcast', payload });
    } else if (type === CustomFrame.DATA) {
      keep(this.data, payload);
      this.relay.emit('customapp', { kind: 'data', payload });
      if (this.echo) this.relay.sendFrame(FrameType.DATA_ONE, payload);
    }
  }
}

module.exports = { CustomAppPeer, CustomFrame, RECORDS };
