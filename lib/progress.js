'use strict';

// A progress bar on standard error, and lines written above it while it
// shows: what the CLI and the demo print while a transfer runs. cli-progress
// loads with the first bar.

// The bar on screen, if any: log lines are written above it.
let activeBar = null;

/** Writes one line to standard error, above a progress bar when one shows. */
function say(line) {
  if (activeBar && process.stderr.isTTY) {
    process.stderr.write(`\r\x1b[2K${line}\n`);
    activeBar.render();
  } else {
    process.stderr.write(`${line}\n`);
  }
}

/**
 * A bar on standard error while `work(update)` runs; update(sent, total).
 * The bar ends full when the work resolves, unless `complete(result)` says
 * that some of it did not get through.
 */
async function withProgress(label, units, work, { complete = () => true } = {}) {
  const cliProgress = require('cli-progress');
  const bar = new cliProgress.SingleBar(
    {
      format: `${label} [{bar}] {percentage}% | {value}/{total} ${units}`,
      stream: process.stderr,
      hideCursor: false,
      clearOnComplete: false,
    },
    cliProgress.Presets.shades_classic,
  );
  let started = false;
  const update = (sent, total) => {
    if (!started) {
      bar.start(total, 0);
      started = true;
      activeBar = bar;
    }
    bar.setTotal(total);
    bar.update(sent);
  };
  try {
    const result = await work(update);
    // Done means all of it, whatever the last report said.
    if (started && complete(result)) bar.update(bar.getTotal());
    return result;
  } finally {
    if (started) bar.stop();
    activeBar = null;
  }
}

module.exports = { say, withProgress };
