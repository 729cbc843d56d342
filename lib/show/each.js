'use strict';

// Runs one action on every relay of a show at once: each relay on its own
// link, with its own installation when the action needs one. One relay's
// failure is its result and never stops the others.
const fs = require('fs');

const CONNECT_MS = 12000;

const lc = () => require('../..').promises;

// Why an action failed, in one line: the module's own reason when it gave one.
function reasonOf(err) {
  if (err && err.name === 'AbortError') return 'interrupted';
  if (err && err.code === 'ERR_LC_ABORTED') return 'interrupted';
  const text = (err && (err.reason || err.message)) || String(err);
  return text.split('\n')[0];
}

async function connect(relay, signal, timeoutMs) {
  const bound = AbortSignal.any([AbortSignal.timeout(timeoutMs), ...(signal ? [signal] : [])]);
  try {
    return await lc().connect({ ip: relay.host, port: relay.port }, { signal: bound });
  } catch (err) {
    if (signal && signal.aborted) throw new Error('interrupted while connecting');
    if (err.code === 'ENOTFOUND' || err.code === 'EAI_AGAIN') throw new Error(`cannot resolve the host name ${relay.host}`);
    if (err.code === 'ERR_LC_ABORTED') throw new Error(`no relay answered at ${relay.host}:${relay.port} within ${timeoutMs / 1000} s`);
    throw new Error(err.reason || `no relay answered at ${relay.host}:${relay.port}`);
  }
}

/** The relay's saved installation document (its `topology` file), or null when it names none. */
function savedDocument(relay) {
  if (!relay.topology) return null;
  let doc;
  try {
    doc = JSON.parse(fs.readFileSync(relay.topology, 'utf8'));
  } catch (err) {
    throw new Error(`cannot read ${relay.topology}: ${err.code || err.message}`);
  }
  if (!Array.isArray(doc)) throw new Error(`${relay.topology} is not a topology document`);
  return doc;
}

/** Asks the relay on `com` for its installation, read with the entry's types. */
async function liveTopology(com, relay, signal) {
  const top = new (lc().Topology)();
  try {
    await top.update(relay.relayType || 'relay', relay.tileType, com, { signal });
  } catch (err) {
    if (signal && signal.aborted) throw new Error('interrupted while reading the installation');
    throw new Error('the relay did not send its installation');
  }
  return top;
}

/** The relay's saved installation (its `topology` file), or null when it names none. */
function savedTopology(relay) {
  const doc = savedDocument(relay);
  if (!doc) return null;
  const top = new (lc().Topology)(doc);
  try {
    top.getTop();
  } catch (err) {
    throw new Error(`${relay.topology} has no relay (module 0)`);
  }
  return top;
}

/** The installation of a relay: its saved `topology` file when it has one, else the relay's answer. */
async function topologyOf(com, relay, signal) {
  return savedTopology(relay) || liveTopology(com, relay, signal);
}

/**
 * Runs `action({ com, relay, topology, signal })` on every relay (entries
 * as readShow gives them) in parallel and resolves, once every one ended,
 * with one result per relay in the show's order:
 * { name, relay, ok: true, output } or { name, relay, ok: false, reason }.
 * Options: signal (ends every link and action), topology ('saved': the
 * relay's file or its answer; 'live': always its answer; absent: none),
 * connectMs (the bound of each connect), onResult(result) as each ends.
 */
async function eachRelay(relays, action, options = {}) {
  const { signal, topology: which, connectMs = CONNECT_MS, onResult } = options;
  const one = async (relay) => {
    let com = null;
    let result;
    try {
      if (signal && signal.aborted) throw new Error('interrupted');
      com = await connect(relay, signal, connectMs);
      let top = null;
      if (which === 'saved') top = await topologyOf(com, relay, signal);
      else if (which === 'live') top = await liveTopology(com, relay, signal);
      const output = await action({ com, relay, topology: top, signal });
      result = { name: relay.name, relay, ok: true, output };
    } catch (err) {
      result = { name: relay.name, relay, ok: false, reason: reasonOf(err) };
    } finally {
      if (com) await com.stop();
    }
    if (onResult) onResult(result);
    return result;
  };
  return Promise.all(relays.map(one));
}

module.exports = { eachRelay, liveTopology, topologyOf, savedTopology, savedDocument, reasonOf };
