'use strict';

const { withLink } = require('../common');
const { relayOrShowOptions: relayOptions, onShow } = require('../each');

// A version word is four bytes, shown from the most significant down.
const dotted = (v) => [24, 16, 8, 0].map((s) => (v >>> s) & 0xff).join('.');

function register(cli) {
  relayOptions(
    cli
      .command('info')
      .description('connect to the relay and print its version and state')
      .option('--json', 'print one JSON object'),
  ).action(async (opts) => {
    const read = (com, o) => {
      const version = com.getVersion();
      const state = typeof com.native.getState === 'function' ? com.native.getState() : undefined;
      return { host: o.host, port: o.port, version, state, ready: state !== 0 };
    };
    if (opts.show) {
      // With --json, one array for the whole show, an entry per relay.
      await onShow(opts, async (com, o) => {
        const i = read(com, o);
        return opts.json ? i : `${i.host}:${i.port} version ${dotted(i.version)} state ${i.state} (${i.ready ? 'ready' : 'busy'})`;
      }, { json: opts.json });
      return;
    }
    const info = await withLink(opts, async (com) => read(com, opts));
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
