'use strict';

// Compares a live installation with a saved topology document, module by
// module: which tiles are gone, which are new, and which are of another type
// or wired otherwise. Module ids are the relay's, so a tile keeps its id as
// long as it stays where it was.

const MAX_CHANNEL = 255;

// The relay's records carry links only: a live installation has the types it
// was read with, so models of one shape (the square ones, the relay models)
// cannot differ there. Types count as different when their shapes do.
const SHAPES = ['relay', 'relay', 'relay', 'triangle', 'square', 'square', 'square'];
const shapeOf = (type) => SHAPES[type] || `type ${type}`;

// channel -> neighbour id, for one module's links.
function linksOf(module) {
  const links = new Map();
  for (const n of Array.isArray(module.neighbours) ? module.neighbours : []) {
    if (n && Number.isInteger(n.channel) && n.channel >= 0 && n.channel <= MAX_CHANNEL && Number.isInteger(n.id)) {
      links.set(n.channel, n.id);
    }
  }
  return links;
}

function byId(document, what) {
  if (!Array.isArray(document)) throw new TypeError(`the ${what} installation must be an array of modules`);
  const modules = new Map();
  for (const m of document) {
    if (!m || !Number.isInteger(m.id)) throw new TypeError(`the ${what} installation has a module without a whole-number id`);
    if (modules.has(m.id)) throw new TypeError(`the ${what} installation has module ${m.id} twice`);
    modules.set(m.id, m);
  }
  return modules;
}

/**
 * Differences of `live` from `saved` (both topology documents, as getTop
 * gives them): { same, missing: [id], extra: [id], different: [{ id, changes: [text] }] },
 * ids in ascending order. A change names the type (by shape: see SHAPES) or the channel that differs.
 */
function compareTopology(saved, live, tagOf = (type) => `type ${type}`) {
  const was = byId(saved, 'saved');
  const now = byId(live, 'live');
  const ascending = (a, b) => a - b;
  const missing = [...was.keys()].filter((id) => !now.has(id)).sort(ascending);
  const extra = [...now.keys()].filter((id) => !was.has(id)).sort(ascending);
  const missingSet = new Set(missing);
  const extraSet = new Set(extra);
  const different = [];
  for (const id of [...was.keys()].filter((k) => now.has(k)).sort(ascending)) {
    const a = was.get(id);
    const b = now.get(id);
    const changes = [];
    if (shapeOf(a.type) !== shapeOf(b.type)) changes.push(`type ${tagOf(a.type)}, now ${tagOf(b.type)}`);
    const la = linksOf(a);
    const lb = linksOf(b);
    const channels = [...new Set([...la.keys(), ...lb.keys()])].sort(ascending);
    for (const c of channels) {
      const before = la.get(c);
      const after = lb.get(c);
      if (before === after) continue;
      // A link to a tile that is gone or new says nothing the missing and
      // extra lists do not already say.
      if (after === undefined && missingSet.has(before)) continue;
      if (before === undefined && extraSet.has(after)) continue;
      const side = (v) => (v === undefined ? 'nothing' : `module ${v}`);
      changes.push(`channel ${c} to ${side(before)}, now to ${side(after)}`);
    }
    if (changes.length) different.push({ id, changes });
  }
  return { same: missing.length === 0 && extra.length === 0 && different.length === 0, missing, extra, different };
}

/** The comparison as lines of text, one per module that differs; none when the same. */
function describeDifferences({ missing, extra, different }) {
  const lines = [];
  for (const id of missing) lines.push(`module ${id} missing`);
  for (const id of extra) lines.push(`module ${id} extra`);
  for (const { id, changes } of different) lines.push(`module ${id} wired differently: ${changes.join('; ')}`);
  return lines;
}

module.exports = { compareTopology, describeDifferences };
