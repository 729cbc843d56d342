'use strict';

const { relayOptions, withLink } = require('../common');

// A version word is four bytes, shown from the most significant down.
const dotted = (v) => [24, 16, 8, 0].map((s) => (v >>> s) & 0xff).join('.');

function register(cli) {
  relayOptions(
    cli
      .command('info')
      .description('connect to the relay and print its version and state')
      .option('--json', 'print one JSON object'),
  ).action(async (opts) => {
    const info = await withLink(opts, async (com) => {
      const version = com.getVersion();
      const state = typeof com.native.getState === 'function' ? com.native.getState() : undefined;
      return { host: opts.host, port: opts.port, version, state, ready: state !== 0 };
    });
    if (opts.json) {
      process.stdout.write(`${JSON.stringify(info)}\n`);
      return;
    }
    process.stdout.write(
      `relay ${info.host}:${info.port}\n` +
        `version ${dotted(info.version)} (${info.version})\n` +
        `state ${info.state} (${info.ready ? 'ready for commands' : 'busy'})\n`,
    );
  });
}

module.exports = { register, dotted };
