'use strict';

const fs = require('fs');
const {
  lazy,
  installationOptions,
  withLink,
  installation,
  withProgress,
  CommandError,
  interruptSignal,
} = require('../common');
const lc = lazy(() => require('../../..'));
const { missingImages } = require('../../packages');
const { relayOrShowOptions: relayOptions, onShow } = require('../each');

function openPackage(file) {
  let stat;
  try {
    stat = fs.statSync(file);
  } catch (err) {
    throw new CommandError(`cannot read ${file}: ${err.code}`);
  }
  if (!stat.isFile()) throw new CommandError(`${file} is not a regular file`);
  const app = new lc.promises.LcApp();
  if (!app.openFromFile(file)) throw new CommandError(`${file} is not an application package`);
  return app;
}

// The check (unless --no-check) and the upload to the relay on `com`.
async function uploadTo(com, opts, app, file, progress) {
  const tags = app.getTypes();
  if (opts.check) {
    const top = await installation(opts, com);
    const problem = missingImages(tags, top.getTop());
    if (problem) throw new CommandError(`${problem}; nothing was sent (--no-check sends it anyway)`);
  }
  let sent = 0;
  let total = 0;
  const onProgress = (s, t) => {
    sent = s;
    total = t;
    progress(s, t);
  };
  try {
    await new lc.promises.Loader(com).send(app, { onProgress, signal: interruptSignal() });
  } catch (err) {
    if (err.code === 'ERR_LC_ABORTED') {
      // The sender closed the cut stream, so the tiles wait for a new one.
      throw new CommandError(
        `upload interrupted after ${sent} of ${total} packets: the tiles refused the partial stream, ` +
          `restarted and wait for a new one; run the same lc upload again to upload ${file}`,
      );
    }
    throw new CommandError(`the upload failed: ${err.reason || 'the link ended, or the tiles did not start the application'}`);
  }
}

function register(cli) {
  installationOptions(
    relayOptions(
      cli
        .command('upload')
        .description('upload an application package to the tiles, after checking it covers every tile type')
        .argument('<package>', 'the package file (JSON: one Intel HEX image per module type)')
        .option('--no-check', 'skip the check of the package\'s types against the installation'),
    ),
  ).action(async (file, opts) => {
    const app = openPackage(file);
    const tags = app.getTypes();
    if (opts.show) {
      await onShow(opts, (com, o, progress) => uploadTo(com, o, app, file, progress).then(() => `uploaded (${tags.join(', ') || 'no images'})`), {
        progress: ['upload', 'packets'],
      });
      return;
    }
    await withLink(opts, (com) => withProgress('upload', 'packets', (progress) => uploadTo(com, opts, app, file, progress)));
    process.stdout.write(`uploaded ${file} (${tags.join(', ') || 'no images'})\n`);
  });
}

module.exports = { register };
