'use strict';

// Runs `lc discover` beside `lc relay --discovery` inside the private network
// namespace this process was started in (`unshare -n`), which sees only its
// own loopback interface. It refuses to run anywhere lo is not the only
// interface.
const { startLc, runLc } = require('./cli');
const { enterPrivateNamespace } = require('./netns');

async function main() {
  try {
    enterPrivateNamespace(process.argv[2]);
  } catch (err) {
    console.error(err.message);
    process.exit(3);
  }
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
