'use strict';

// Several virtual relays side by side, on consecutive ports, as a show of
// several relays needs them.
const { startRelay } = require('./host');

const ATTEMPTS = 20;

async function stopAll(hosts) {
  await Promise.all(hosts.map((h) => h.stop()));
}

// Starts one relay per entry of `ports` (null: any free one).
async function startAt(ports, optionsOf) {
  const hosts = [];
  try {
    for (let i = 0; i < ports.length; i++) hosts.push(await startRelay({ ...optionsOf(i), port: ports[i] }));
  } catch (err) {
    await stopAll(hosts);
    throw err;
  }
  return hosts;
}

/**
 * Starts `count` relays on consecutive ports from `port` (0: from any free
 * port where the next ones are free too); `optionsOf(i)` gives relay i's
 * options for startRelay. Resolves with the hosts in port order.
 */
async function startRelays(count, { port = 0, optionsOf = () => ({}) } = {}) {
  if (!Number.isInteger(count) || count < 1) throw new RangeError('count must be at least 1');
  if (port !== 0) {
    if (port + count - 1 > 65535) throw new RangeError(`ports ${port} to ${port + count - 1} do not all exist`);
    return startAt(Array.from({ length: count }, (_, i) => port + i), optionsOf);
  }
  // The first relay takes whatever port is free; the others need the ports
  // after it, which another program may hold: then all start again elsewhere.
  let last = null;
  for (let attempt = 0; attempt < ATTEMPTS; attempt++) {
    const first = await startRelay({ ...optionsOf(0), port: 0 });
    if (first.port + count - 1 > 65535) {
      await first.stop();
      continue;
    }
    try {
      const rest = await startAt(Array.from({ length: count - 1 }, (_, i) => first.port + 1 + i), (i) => optionsOf(i + 1));
      return [first, ...rest];
    } catch (err) {
      await first.stop();
      if (err.code !== 'EADDRINUSE') throw err;
      last = err;
    }
  }
  throw last || new Error(`no ${count} consecutive free ports`);
}

/**
 * Runs the relays of a show (entries as readShow gives them), each on its
 * entry's port on 127.0.0.1, or `count` relays on consecutive ports from
 * `port` without a show; `documents` are one installation for all or one
 * per relay (an entry's own `topology` document comes first), `web` serves
 * one page with every relay's screen placed on the show's canvas (side by
 * side without a show). Resolves with { hosts: [{ name, host }], web, stop() }.
 */
async function startShowRelays({ entries = null, count = 1, port = 0, documents = [], readDocument, web = false, webPort = 0, ...options }) {
  const n = entries ? entries.length : count;
  if (entries) {
    const seen = new Map();
    for (const e of entries) {
      if (seen.has(e.port)) throw new RangeError(`${seen.get(e.port)} and ${e.name} share port ${e.port}: each virtual relay needs a port of its own on 127.0.0.1`);
      seen.set(e.port, e.name);
    }
  }
  if (documents.length > 1 && documents.length !== n) {
    throw new RangeError(`${documents.length} installations for ${n} relays: give one for all or one per relay`);
  }
  const documentOf = (i) => {
    if (entries && entries[i].topology) return readDocument(entries[i].topology);
    return documents.length ? documents[documents.length === 1 ? 0 : i] : undefined;
  };
  const optionsOf = (i) => ({ ...options, document: documentOf(i) });
  const hosts = entries ? await startAt(entries.map((e) => e.port), optionsOf) : await startRelays(n, { port, optionsOf });
  const named = hosts.map((host, i) => ({ name: entries ? entries[i].name : `relay${i + 1}`, host }));
  let view = null;
  if (web) {
    const { layout } = require('./geometry');
    let x = 0;
    const placements = named.map(({ name, host }, i) => {
      if (entries) return { relay: host.relay, name, at: entries[i].at, angle: entries[i].angle };
      const at = [x, 0];
      // Side by side, a column apart.
      x += layout(host.document, 0).width + 1;
      return { relay: host.relay, name, at, angle: 0 };
    });
    try {
      view = await require('../view/web').startShowView(placements, { port: webPort });
    } catch (err) {
      await stopAll(hosts);
      throw err;
    }
  }
  return {
    hosts: named,
    web: view,
    async stop() {
      if (view) await view.close();
      await stopAll(hosts);
    },
  };
}

module.exports = { startRelays, startShowRelays };
