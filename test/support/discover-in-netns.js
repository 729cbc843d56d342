'use strict';

// Runs `lc discover` beside `lc relay --discovery` inside the private network
// namespace this process was started in (`unshare -n`), which sees only its
// own loopback interface. It refuses to run in the namespace named by its
// argument: the machine's own.
const fs = require('fs');
const { spawnSync } = require('child_process');
const { startLc, runLc } = require('./cli');

async function main() {
  if (fs.readlinkSync('/proc/self/ns/net') === process.argv[2]) {
    console.error('refusing to search outside a private network namespace');
    process.exit(3);
  }
  const up = spawnSync('ip', ['link', 'set', 'lo', 'up']);
  if (up.status !== 0) throw new Error('cannot bring lo up');
  const relay = startLc(['relay', '--port', '0', '--discovery']);
  const [, port] = await relay.waitFor(/listening on 127\.0\.0\.1:(\d+)/);
  await relay.waitFor(/answering discovery/);
  const [json, text, tiles] = await Promise.all([
    runLc(['discover', '--json']),
    runLc(['discover']),
    runLc(['discover', '--type', 'quadra']),
  ]);
  relay.child.kill('SIGINT');
  await relay.done;
  console.log(`RESULT ${JSON.stringify({ port: Number(port), json, text, tiles })}`);
}

main().catch((err) => {
  console.error(err.stack);
  process.exit(1);
});
