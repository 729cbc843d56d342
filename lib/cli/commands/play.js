'use strict';

const fs = require('fs');
const { PNG } = require('pngjs');
const lc = require('../../..');
const { picture, fit } = require('../../animation');
const {
  relayOptions,
  installationOptions,
  integer,
  choice,
  withLink,
  installation,
  CommandError,
  MODES,
} = require('../common');

function readPng(file) {
  try {
    return PNG.sync.read(fs.readFileSync(file));
  } catch (err) {
    throw new CommandError(`${file} is not a readable PNG file: ${err.code || err.message}`);
  }
}

/**
 * Plays `next(i)` pictures on the player at the relay's pace: a picture is
 * handed over once the previous one has gone out whole (`frames` pixel
 * frames), until `seconds` pass. Resolves with the playback's counters.
 */
async function playAtPace(player, { topology, angle, mode, sensors, seconds, next, onPicture }) {
  let screen;
  try {
    screen = player.getScreen(angle, topology, mode);
  } catch (err) {
    throw new CommandError(`this installation cannot be played: ${err.message}`);
  }
  let shown = 0;
  player.addImage(next(shown++, screen));
  const ended = player.start(angle, topology, mode, sensors);
  const frames = Math.max(1, screen.frames);
  let handed = 0;
  const deadline = Date.now() + seconds * 1000;
  let finished = false;
  let failure = null;
  ended.then(
    () => {
      finished = true;
    },
    (err) => {
      failure = err;
      finished = true;
    },
  );
  while (!finished && Date.now() < deadline) {
    const { framesSent } = player.getCounters();
    if (framesSent >= handed + frames) {
      handed = framesSent;
      player.addImage(next(shown++, screen));
      if (onPicture) onPicture(shown, screen);
    }
    await new Promise((r) => setTimeout(r, 5));
  }
  if (failure) throw new CommandError(`the playback did not start: ${failure.message}`);
  if (finished) throw new CommandError('the playback ended early: the relay stopped pacing it');
  player.stop();
  await ended;
  return { screen, shown, counters: player.getCounters() };
}

function register(cli) {
  installationOptions(
    relayOptions(
      cli
        .command('play')
        .description('stream PNG pictures, or a generated animation, to the tiles at the relay\'s pace')
        .argument('[files...]', 'PNG files, shown in turn (none: a generated animation)')
        .option('--mode <mode>', 'video (full colour), rgb (eight colours) or mask (on/off)', choice(MODES), 'video')
        .option('--angle <degrees>', 'the installation\'s rotation', integer(0, 3600), 0)
        .option('--seconds <n>', 'how long to play', integer(1, 86400), 5)
        .option('--sensors', 'read the tiles\' sensors and print them at the end'),
    ),
  ).action(async (files, opts) => {
    const pngs = files.map(readPng);
    const result = await withLink(opts, async (com) => {
      const topology = await installation(opts, com);
      const player = new lc.promises.Player(com);
      const next = pngs.length
        ? (i, s) => fit(pngs[i % pngs.length], s.width, s.height)
        : (i, s) => picture(i, s.width, s.height, opts.mode);
      const played = await playAtPace(player, {
        topology,
        angle: opts.angle,
        mode: opts.mode,
        sensors: Boolean(opts.sensors),
        seconds: opts.seconds,
        next,
      });
      if (opts.sensors) {
        const values = new Uint16Array(played.screen.rows * played.screen.columns);
        player.getSensors(values);
        played.sensorValues = values;
      }
      return played;
    });
    const { screen, shown, counters } = result;
    process.stdout.write(
      `played ${shown} pictures of ${screen.width}x${screen.height} in ${opts.mode} mode: ` +
        `${counters.framesSent} frames sent, ${(counters.framesSent / opts.seconds).toFixed(1)} frames/s\n`,
    );
    if (result.sensorValues && result.sensorValues.length === 0) {
      // An empty grid would look like sensors that read nothing.
      process.stdout.write('sensors: these tiles have none\n');
    } else if (result.sensorValues) {
      const rows = [];
      for (let r = 0; r < screen.rows; r++) {
        rows.push(Array.from(result.sensorValues.subarray(r * screen.columns, (r + 1) * screen.columns)).join(' '));
      }
      process.stdout.write(`sensors (${screen.rows}x${screen.columns}):\n${rows.join('\n')}\n`);
    }
  });
}

module.exports = { register, playAtPace };
