'use strict';

const fs = require('fs');
const path = require('path');
const { lazy, withLink, withProgress, CommandError } = require('../common');
const lc = lazy(() => require('../../..'));
const common = require('../common');
const { relayOrShowOptions: relayOptions, onShow } = require('../each');

async function sendTo(com, file, opts, progress) {
  const sender = opts.simulator ? new lc.promises.SimLoader(com) : new lc.promises.SdSender(com);
  try {
    await sender.send(path.resolve(file), { onProgress: progress, signal: common.interruptSignal() });
  } catch (err) {
    if (err.code === 'ERR_LC_ABORTED') throw new CommandError('transfer interrupted: the file on the relay is incomplete; send it again');
    throw new CommandError(`the transfer failed: ${err.reason || 'the relay refused it, stopped answering, or the link ended'}`);
  }
}

function register(cli) {
  relayOptions(
    cli
      .command('send')
      .description('copy a file to the relay\'s SD card (or to the simulator)')
      .argument('<file>', 'the file to send; it keeps its base name on the card')
      .option('--simulator', 'send it to the simulator, named after the current time'),
  ).action(async (file, opts) => {
    let stat;
    try {
      stat = fs.statSync(file);
    } catch (err) {
      throw new CommandError(`cannot read ${file}: ${err.code}`);
    }
    if (!stat.isFile()) throw new CommandError(`${file} is not a regular file`);
    if (Buffer.byteLength(path.basename(file)) > 122) {
      throw new CommandError(`${path.basename(file)} is longer than the 122 bytes a name on the card may take`);
    }
    const line = `sent ${file} (${stat.size} bytes)${opts.simulator ? ' to the simulator' : ''}`;
    if (opts.show) {
      await onShow(opts, (com, o, progress) => sendTo(com, file, o, progress).then(() => line), { progress: ['send', 'bytes'] });
      return;
    }
    await withLink(opts, (com) => withProgress('send', 'bytes', (progress) => sendTo(com, file, opts, progress)));
    process.stdout.write(`${line}\n`);
  });
}

module.exports = { register };
