'use strict';

// Playback helpers over the promise Player that the CLI, the demo and
// scripts share: a paced run of generated pictures, the generated animation
// as a picture source, and the picture that lights one tile alone.
const { picture } = require('./animation');
const { layout } = require('./relay');

/** Pictures of the generated animation as fast as they are taken, for `seconds`. */
async function* generated(screen, mode, seconds) {
  const deadline = performance.now() + seconds * 1000;
  for (let i = 0; performance.now() < deadline; i++) {
    yield { image: picture(i, screen.width, screen.height, mode), duration: 0 };
  }
}

/**
 * Plays `next(i, screen)` pictures at the relay's pace, each handed over
 * once the sender took the one before, until `seconds` pass. Resolves with
 * { screen, shown, counters }.
 */
async function playAtPace(player, { topology, angle, mode, sensors, seconds, next, onPicture }) {
  let screen;
  try {
    screen = player.getScreen(angle, topology, mode);
  } catch (err) {
    throw new Error(`this installation cannot be played: ${err.message}`);
  }
  const ended = player.start(angle, topology, mode, sensors);
  let failure = null;
  ended.catch((err) => {
    failure = err;
  });
  let shown = 0;
  const deadline = performance.now() + seconds * 1000;
  try {
    while (performance.now() < deadline) {
      await player.push(next(shown, screen));
      shown++;
      if (onPicture) onPicture(shown, screen);
    }
  } catch (err) {
    await Promise.resolve();
    if (failure) throw new Error(`the playback did not start: ${failure.message}`);
    if (err.code === 'ERR_LC_ENDED') throw new Error('the playback ended early: the relay stopped pacing it');
    throw err;
  }
  await player.stop();
  return { screen, shown, counters: player.getCounters() };
}

/**
 * The picture that lights tile `id` alone: white at its LEDs' pixels, black
 * elsewhere. A pixel that another tile's LED also shows stays black, so no
 * other tile lights. Null when the installation has no such tile.
 */
function identifyPicture(doc, angle, id, width, height) {
  const placed = layout(doc, angle);
  const tile = placed.tiles.get(id);
  if (!tile || !tile.leds.length) return null;
  const pixelOf = ([x, y]) =>
    x >= 0 && x < width && y >= 0 && y < height ? Math.trunc(x) + Math.trunc(y) * width : -1;
  const others = new Set();
  for (const [other, t] of placed.tiles) if (other !== id) for (const led of t.leds) others.add(pixelOf(led));
  const image = Buffer.alloc(width * height * 4);
  for (const led of tile.leds) {
    const p = pixelOf(led);
    if (p >= 0 && !others.has(p)) image.fill(255, 4 * p, 4 * p + 4);
  }
  return image;
}

module.exports = { playAtPace, generated, identifyPicture };
