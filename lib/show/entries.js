'use strict';

// Relays found by a discovery search as show-file entries, ready to paste
// into "relays" once each has its "tileType" and "at".
const MAX_NAME = 64;

/** [{ ip, port, name }] (as findRelays gives them) to [{ name, host, port }], names made unique. */
function showEntries(relays) {
  const used = new Set();
  return relays.map((r) => {
    // A relay's name comes off the network: keep what a show file accepts.
    let base = String(r.name || '').replace(/[\x00-\x1f\x7f]/g, '').trim().slice(0, MAX_NAME);
    if (!base) base = `${r.ip}:${r.port}`;
    let name = base;
    for (let k = 2; used.has(name); k++) name = `${base.slice(0, MAX_NAME - String(k).length - 1)}-${k}`;
    used.add(name);
    return { name, host: r.ip, port: r.port };
  });
}

module.exports = { showEntries };
