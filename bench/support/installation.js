'use strict';

// Square tiles in rows of `columns` (the square root of `tiles`, rounded
// up), each joined east to the one before it, or south to the one above at
// the start of a row: the installation the player benches stream to.
function installation(tiles, type = 4) {
  const columns = Math.ceil(Math.sqrt(tiles));
  const link = (channel, id, child) => ({ channel, id, child });
  const doc = [{ id: 0, type: 0, neighbours: [link(0, 1, 1)] }];
  for (let id = 1; id <= tiles; id++) doc.push({ id, type, neighbours: [] });
  doc[1].neighbours.push(link(0, 0, 0));
  for (let id = 2; id <= tiles; id++) {
    const from = (id - 1) % columns === 0 ? id - columns : id - 1;
    const [out, back] = from === id - 1 ? [1, 3] : [2, 0];
    doc[from].neighbours.push(link(out, id, 1));
    doc[id].neighbours.push(link(back, from, 0));
  }
  return doc;
}

module.exports = { installation };
