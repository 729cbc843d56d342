'use strict';

const fs = require('fs');
const { InvalidArgumentError } = require('commander');
const { FITS } = require('../../content/fit');
const { isTile } = require('../../models');
const { relayOrShowOptions, onShow } = require('../each');
const {
  lazy,
  installationOptions,
  integer,
  choice,
  withLink,
  installation,
  CommandError,
  MODES,
} = require('../common');
const lc = lazy(() => require('../../..'));

const content = lazy(() => require('../../content'));
const playback = lazy(() => require('../../playback'));
const showPlay = lazy(() => require('../play-show'));

const STATUS_MS = 250;

/** A positive number, fractions allowed, up to `max`. */
function positive(max) {
  return (text) => {
    const s = String(text).trim();
    if (!/^(\d+(\.\d*)?|\.\d+)$/.test(s)) throw new InvalidArgumentError('not a positive number.');
    const value = Number(s);
    if (!(value > 0) || value > max) throw new InvalidArgumentError(`must be above 0 and at most ${max}.`);
    return value;
  };
}

/** One number for all three channels, or three separated by commas. */
function channels(what, min, max) {
  return (text) => {
    const parts = String(text).split(',').map((p) => p.trim());
    if (parts.length !== 1 && parts.length !== 3) throw new InvalidArgumentError(`one ${what} or three (red,green,blue).`);
    const values = parts.map(Number);
    if (!parts.every((p) => /^(\d+(\.\d*)?|\.\d+)$/.test(p)) || values.some((v) => v < min || v > max)) {
      throw new InvalidArgumentError(`each ${what} must be a number from ${min} to ${max}.`);
    }
    return values.length === 1 ? values[0] : values;
  };
}

// Checks every file before the link opens: one message for the first that
// cannot be played.
function checkFiles(files) {
  for (const file of files) {
    let bytes;
    try {
      bytes = fs.readFileSync(file);
    } catch (err) {
      throw new CommandError(`cannot read ${file}: ${err.code || err.message}`);
    }
    if (content.isStillPng(bytes)) {
      try {
        require('pngjs').PNG.sync.read(bytes);
      } catch (err) {
        throw new CommandError(`${file} is not a readable PNG file: ${err.code || err.message}`);
      }
    } else if (/\.png$/i.test(file) && !bytes.subarray(0, 4).equals(Buffer.from([0x89, 0x50, 0x4e, 0x47]))) {
      throw new CommandError(`${file} is not a readable PNG file: no PNG signature`);
    } else if (!content.hasFfmpeg()) {
      throw new CommandError(`${file} needs ffmpeg, which is not installed: install it with "${content.INSTALL}"`);
    }
  }
}

// The files in turn, each opened when its turn comes.
async function* sequence(files, screen, opts) {
  for (const file of files) {
    let items;
    try {
      ({ items } = content.openSource(file, { width: screen.width, height: screen.height, fit: opts.fit, seconds: opts.seconds }));
    } catch (err) {
      throw new CommandError(err.message);
    }
    yield* items;
  }
}

// One status line on a terminal, rewritten in place.
function statusLine(player, stream) {
  if (!stream.isTTY) return { update() {}, stop() {} };
  const began = performance.now();
  let last = { t: began, shown: 0, status: 0 };
  let text = '';
  let shown = 0;
  const draw = () => {
    const now = performance.now();
    const c = player.getCounters();
    const dt = (now - last.t) / 1000 || 1;
    const pps = (shown - last.shown) / dt;
    const pace = (c.statusEvents - last.status) / dt;
    last = { t: now, shown, status: c.statusEvents };
    const played = Math.floor((now - began) / 1000);
    const clock = `${Math.floor(played / 60)}:${String(played % 60).padStart(2, '0')}`;
    text = `${clock} played, ${shown} pictures, ${pps.toFixed(1)} pictures/s, relay pace ${pace.toFixed(1)} status/s, ` +
      `${c.slotsSkipped} slots skipped`;
    stream.write(`\r\x1b[2K${text}`);
  };
  const timer = setInterval(draw, STATUS_MS);
  return {
    update(n) {
      shown = n;
    },
    stop() {
      clearInterval(timer);
      stream.write('\r\x1b[2K');
    },
  };
}

async function playOn(com, opts, files) {
  const topology = await installation(opts, com);
  const player = new lc.promises.Player(com);
  const mode = opts.mode;
  const ended = player.start(opts.angle, topology, mode, Boolean(opts.sensors), { gamma: opts.gamma, gains: opts.gains });
  let failure = null;
  ended.catch((err) => {
    failure = err;
  });
  let screen;
  try {
    screen = player.screen;
  } catch (err) {
    failure = err;
  }
  if (failure || !screen) {
    throw new CommandError(`this installation cannot be played: ${failure ? failure.message : 'no screen'}`);
  }

  let view = null;
  let preview = null;
  if (opts.view) {
    const { FramePreview } = require('../../view/preview');
    const { startWebView } = require('../../view/web');
    preview = new FramePreview(topology.getTop(), opts.angle, mode);
    view = await startWebView(preview, { port: opts.viewPort || 0 });
    process.stdout.write(`live view at ${view.url}\n`);
  }
  const line = statusLine(player, process.stderr);
  const controller = new AbortController();
  const onSignal = () => controller.abort();
  process.once('SIGINT', onSignal);
  const onTaken = () => {
    if (!preview) return;
    const frames = player.native.getFrames();
    if (frames && screen.frames > 0) {
      preview.show(frames, frames.length / screen.frames, {
        framesSent: player.getCounters().framesSent,
        status: { state: 1, version: com.getVersion() },
      });
    }
  };
  player.on('taken', onTaken);
  const t0 = performance.now();
  let stats;
  try {
    const source = files.length ? () => sequence(files, screen, opts) : () => playback.generated(screen, mode, opts.seconds);
    // A source made afresh for every round, so --loop replays it.
    const rounds = { [Symbol.asyncIterator]: () => source()[Symbol.asyncIterator]() };
    stats = await player.play(files.length ? rounds : source(), {
      loop: Boolean(opts.loop),
      fps: opts.fps,
      signal: controller.signal,
      onPicture: (_, s) => line.update(s.shown),
    });
  } catch (err) {
    if (err.code === 'ERR_LC_ENDED') throw new CommandError('the playback ended early: the relay stopped pacing it');
    throw err;
  } finally {
    process.off('SIGINT', onSignal);
    line.stop();
    player.off('taken', onTaken);
    player.stop();
    await ended.catch(() => {});
    if (view) await view.close();
  }
  const seconds = (performance.now() - t0) / 1000;
  const played = { screen, shown: stats.shown, counters: player.getCounters(), seconds };
  if (opts.sensors) {
    const values = new Uint16Array(screen.rows * screen.columns);
    player.getSensors(values);
    played.sensorValues = values;
  }
  return played;
}

async function identify(com, opts) {
  const topology = await installation(opts, com);
  const doc = topology.getTop();
  const tiles = doc.filter((m) => m.id !== 0 && isTile(m.type)).map((m) => m.id).sort((a, b) => a - b);
  if (!tiles.includes(opts.tile)) {
    throw new CommandError(`the installation has no tile ${opts.tile} (its tiles: ${tiles.join(', ') || 'none'})`);
  }
  const player = new lc.promises.Player(com);
  const ended = player.start(opts.angle, topology, 'video', false);
  ended.catch(() => {});
  const screen = player.screen;
  if (!screen) {
    await ended.catch((err) => {
      throw new CommandError(`this installation cannot be played: ${err.message}`);
    });
  }
  const image = playback.identifyPicture(doc, opts.angle, opts.tile, screen.width, screen.height);
  try {
    await player.push(image);
    // The picture stays on: the sender sends it again until a new one comes.
    await Promise.race([
      new Promise((resolve) => setTimeout(resolve, opts.seconds * 1000)),
      ended.then(() => {
        throw new CommandError('the playback ended early: the relay stopped pacing it');
      }),
    ]);
  } catch (err) {
    if (err.code === 'ERR_LC_ENDED') throw new CommandError('the playback ended early: the relay stopped pacing it');
    throw err;
  } finally {
    await player.stop();
  }
}

function register(cli) {
  installationOptions(
    relayOrShowOptions(
      cli
        .command('identify')
        .description('light one tile alone, to find it on the wall')
        .requiredOption('--tile <id>', 'the module id of the tile', integer(1, 65535))
        .option('--seconds <n>', 'how long it stays lit', positive(86400), 5)
        .option('--angle <degrees>', 'the installation\'s rotation', integer(0, 3600), 0),
    ),
  ).action(async (opts) => {
    if (opts.show) return onShow(opts, (com, o) => identify(com, o).then(() => `tile ${o.tile} lit for ${o.seconds} s`));
    await withLink(opts, (com) => identify(com, opts));
    process.stdout.write(`tile ${opts.tile} lit for ${opts.seconds} s\n`);
  });

  installationOptions(
    relayOrShowOptions(
      cli
        .command('play')
        .description('play videos, animations and pictures on the tiles at their own pace or the relay\'s, whichever is slower')
        .argument('[files...]', 'video, animation or picture files, in turn (none: a generated animation)')
        .option('--mode <mode>', 'video (full colour), rgb (eight colours) or mask (on/off)', choice(MODES), 'video')
        .option('--angle <degrees>', 'the installation\'s rotation', integer(0, 3600), 0)
        .option('--seconds <n>', 'how long each still picture shows, or the generated animation plays', positive(86400), 5)
        .option('--fit <how>', 'contain (whole picture, black bars), cover (fills, crops) or stretch', choice(FITS), 'contain')
        .option('--once', 'play the files once (the default)')
        .option('--loop', 'play the files again and again, until interrupted')
        .option('--fps <n>', 'show at most this many pictures per second', positive(1000))
        .option('--gamma <g>', 'colour correction: one exponent, or three (red,green,blue)', channels('exponent', 0.1, 10))
        .option('--gains <r,g,b>', 'white balance: one factor, or three (red,green,blue)', channels('gain', 0, 16))
        .option('--view', 'serve a live page of what is sent to the tiles')
        .option('--sensors', 'read the tiles\' sensors and print them at the end')
        .option('--rejoin', 'with --show: take a relay that left back into the show when it answers again'),
    ),
  ).action(async (files, opts) => {
    if (opts.once && opts.loop) throw new CommandError('--once and --loop exclude each other');
    checkFiles(files);
    if (opts.show) return showPlay.playShow(files, opts);
    const result = await withLink(opts, (com) => playOn(com, opts, files));
    const { screen, shown, counters, seconds } = result;
    process.stdout.write(
      `played ${shown} pictures of ${screen.width}x${screen.height} in ${opts.mode} mode: ` +
        `${counters.framesSent} frames sent, ${(counters.framesSent / Math.max(seconds, 0.001)).toFixed(1)} frames/s\n`,
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

module.exports = { register, positive, channels };
