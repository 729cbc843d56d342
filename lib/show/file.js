'use strict';

// Reads and checks a show file: the relays of one installation, each with
// where its screen sits on the shared canvas. Every fault names the file and
// the field, so a user can mend the file from the message alone.
const fs = require('fs');
const path = require('path');
const { hostProblem } = require('../hosts');
const { TILE_TAGS, RELAY_TAGS } = require('../models');

/** The port a relay entry gets when it names none (the same as `--port`'s default). */
const RELAY_PORT = 9000;
const MAX_RELAYS = 256;
const MAX_FILE_BYTES = 1 << 20;
const MAX_COORDINATE = 1 << 16;
const MAX_DELAY_MS = 10000;
const KEYS = new Set(['name', 'host', 'port', 'tileType', 'relayType', 'angle', 'at', 'topology', 'delayMs']);

class ShowFileError extends Error {}

const isInteger = (v, min, max) => Number.isInteger(v) && v >= min && v <= max;

// A dotted IPv4 address or a host name, as `--host` takes them.
const isHost = (value) => typeof value === 'string' && value.length > 0 && hostProblem(value) === null;

/**
 * Checks a parsed show document; `where` names it in messages and `dir` is
 * the folder its `topology` paths are read from. Returns the relays with
 * every default filled in:
 * { name, host, port, tileType, relayType, angle, at: [x, y], topology (absolute path or null), delayMs }.
 */
function checkShow(doc, where = 'the show', dir = process.cwd()) {
  const fail = (message) => {
    throw new ShowFileError(`${where}: ${message}`);
  };
  if (doc === null || typeof doc !== 'object' || Array.isArray(doc)) fail('not an object with "relays"');
  const { relays } = doc;
  if (!Array.isArray(relays) || relays.length === 0) fail('"relays" must be a non-empty array');
  if (relays.length > MAX_RELAYS) fail(`"relays" holds ${relays.length} entries; at most ${MAX_RELAYS}`);
  const names = new Set();
  const addresses = new Set();
  return relays.map((entry, i) => {
    const at = `relays[${i}]`;
    if (entry === null || typeof entry !== 'object' || Array.isArray(entry)) fail(`${at} is not an object`);
    for (const key of Object.keys(entry)) if (!KEYS.has(key)) fail(`${at} has an unknown key "${key}"`);
    if (!isHost(entry.host)) fail(`${at}.host must be an IPv4 address or a host name`);
    const port = entry.port === undefined ? RELAY_PORT : entry.port;
    if (!isInteger(port, 1, 65535)) fail(`${at}.port must be a whole number from 1 to 65535`);
    if (!TILE_TAGS.includes(entry.tileType)) fail(`${at}.tileType must be one of ${TILE_TAGS.join(', ')}`);
    const relayType = entry.relayType === undefined ? 'relay' : entry.relayType;
    if (!RELAY_TAGS.includes(relayType)) fail(`${at}.relayType must be one of ${RELAY_TAGS.join(', ')}`);
    const angle = entry.angle === undefined ? 0 : entry.angle;
    if (!isInteger(angle, 0, 3600)) fail(`${at}.angle must be a whole number of degrees from 0 to 3600`);
    if (!Array.isArray(entry.at) || entry.at.length !== 2
        || !entry.at.every((v) => isInteger(v, -MAX_COORDINATE, MAX_COORDINATE))) {
      fail(`${at}.at must be [x, y], whole pixels from ${-MAX_COORDINATE} to ${MAX_COORDINATE}`);
    }
    const delayMs = entry.delayMs === undefined ? 0 : entry.delayMs;
    if (typeof delayMs !== 'number' || !Number.isFinite(delayMs) || delayMs < 0 || delayMs > MAX_DELAY_MS) {
      fail(`${at}.delayMs must be a number of milliseconds from 0 to ${MAX_DELAY_MS}`);
    }
    let topology = null;
    if (entry.topology !== undefined) {
      if (typeof entry.topology !== 'string' || entry.topology.length === 0) fail(`${at}.topology must be a file name`);
      topology = path.resolve(dir, entry.topology);
    }
    const name = entry.name === undefined ? `${entry.host}:${port}` : entry.name;
    if (typeof name !== 'string' || name.length === 0 || name.length > 64 || /[\x00-\x1f]/.test(name)) {
      fail(`${at}.name must be a text of 1 to 64 printable characters`);
    }
    if (names.has(name)) fail(`${at}.name "${name}" is used twice`);
    names.add(name);
    const address = `${entry.host}:${port}`;
    if (addresses.has(address)) fail(`${at} names ${address}, as an earlier relay does`);
    addresses.add(address);
    return { name, host: entry.host, port, tileType: entry.tileType, relayType, angle, at: [entry.at[0], entry.at[1]], topology, delayMs };
  });
}

/** Reads and checks the show file at `file` (see checkShow). */
function readShow(file) {
  let text;
  try {
    const stat = fs.statSync(file);
    if (!stat.isFile()) throw Object.assign(new Error(), { code: 'not a file' });
    if (stat.size > MAX_FILE_BYTES) throw Object.assign(new Error(), { code: `larger than ${MAX_FILE_BYTES} bytes` });
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw new ShowFileError(`cannot read ${file}: ${err.code || err.message}`);
  }
  let doc;
  try {
    doc = JSON.parse(text);
  } catch (err) {
    throw new ShowFileError(`${file} is not JSON: ${err.message}`);
  }
  return checkShow(doc, file, path.dirname(path.resolve(file)));
}

module.exports = { readShow, checkShow, ShowFileError, RELAY_PORT, MAX_RELAYS };
