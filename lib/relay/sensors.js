'use strict';

// The relay's sensor reports: records of u16 values (module index, then the
// module's sensor values) for every module of its installation, in module
// order, packed into data frames. Values are set per tile; faults (a record
// out of order, a data frame shorter than a record) come on demand.

const { sensorCount } = require('../models');

const DATA_TWO = 2;

const methods = {
  // Values per record: the larger sensor count of modules 0 and 1, as the
  // tiles report them.
  sensorsPerRecord() {
    const modules = this.installation ? this.installation.placed.modules : new Map();
    const count = (id) => (modules.has(id) ? sensorCount(modules.get(id).type) : 0);
    return Math.max(count(0), count(1));
  },

  setSensor(id, sensor, value) {
    if (!this.sensorValues.has(id)) this.sensorValues.set(id, []);
    this.sensorValues.get(id)[sensor] = value & 0xffff;
  },

  // Sends one sweep: a record for every module 0 .. n-1, `perFrame` records
  // to a data frame. `swap` exchanges the records at those two positions.
  sendSensors({ perFrame = Infinity, swap = null } = {}) {
    const modules = this.installation ? this.installation.placed.modules : new Map();
    const n = this.sensorsPerRecord();
    const ids = [...modules.keys()].sort((a, b) => a - b);
    if (swap) [ids[swap[0]], ids[swap[1]]] = [ids[swap[1]], ids[swap[0]]];
    const records = ids.map((id) => {
      const record = Buffer.alloc(2 + 2 * n);
      record.writeUInt16LE(id & 0xffff, 0);
      const values = this.sensorValues.get(id) || [];
      for (let k = 0; k < n; k++) record.writeUInt16LE(values[k] || 0, 2 + 2 * k);
      return record;
    });
    const size = Math.max(1, Math.min(perFrame, records.length));
    for (let i = 0; i < records.length; i += size) {
      this.sendFrame(DATA_TWO, Buffer.concat(records.slice(i, i + size)));
    }
  },

  // A data frame too short to hold one record.
  sendShortSensors(length = 1) {
    this.sendFrame(DATA_TWO, Buffer.alloc(length, 0xee));
  },
};

function attachSensors(relay) {
  relay.sensorValues = new Map(); // id -> [value per sensor]
}

module.exports = { attachSensors, sensorMethods: methods };
