'use strict';

// What the views draw when the tiles are real: a stand-in for the virtual
// relay that decodes, with the virtual relay's own decoder, the pixel frames
// the player sends, picture by picture as the sender takes them, so the live
// page shows what the real tiles were sent.
const { EventEmitter } = require('events');
const { attachPixels, pixelMethods, layout } = require('../relay');

// Decoding a large installation in script costs; a person cannot follow
// more than this many pictures a second anyway.
const MIN_INTERVAL_MS = 100;

class FramePreview extends EventEmitter {
  /** `doc`: the topology document; `angle` and `mode` as the playback's. */
  constructor(doc, angle, mode) {
    super();
    attachPixels(this);
    this.installation = { doc, placed: layout(doc, angle) };
    this.setPixelMode(mode);
    this.status = { state: 0, version: 0 };
    this.commands = null;
    this.last = -Infinity;
  }

  /**
   * Decodes one picture's frames (`frameLength` bytes each, as the player's
   * getFrames gives them); `framesSent` and `status` feed the page's meter.
   * Returns false when it was left out to keep the rate down.
   */
  show(frames, frameLength, { framesSent, status } = {}) {
    const now = Date.now();
    if (!frames || now - this.last < MIN_INTERVAL_MS) return false;
    this.last = now;
    for (let p = 0; p + frameLength <= frames.length; p += frameLength) {
      this.emit('frame', { type: 0, payload: frames.subarray(p, p + frameLength) });
    }
    if (framesSent !== undefined) this.pixelStats.frames = framesSent;
    if (status) this.status = status;
    return true;
  }
}
Object.assign(FramePreview.prototype, pixelMethods);
module.exports = { FramePreview };
