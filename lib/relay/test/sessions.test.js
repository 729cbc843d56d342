'use strict';

// A topology request and a custom application's start are the same empty
// frame; neither may keep the relay from taking an upload or an SD transfer
// afterwards, and custom data must not be taken for either.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const lc = require('../../..');
const { startRelay } = require('../host');
const { samplePackage } = require('../sample');

const missing = ['Loader', 'SdSender', 'CustomApp'].filter((n) => typeof lc[n] !== 'function');

test('uploads and SD transfers are taken after a topology request; custom data is not', {
  skip: require('../../../test/support/skip').skipFor(missing.length ? `the classes ${missing.join(', ')} are not in this build` : false),
  timeout: 60000,
}, async (t) => {
  const host = await startRelay({ period: 20, sensors: false });
  t.after(() => host.stop());
  const com = await lc.promises.connect({ ip: '127.0.0.1', port: host.port });
  t.after(() => com.stop());
  await new lc.promises.Topology().update('relay', 'quadrav2', com);

  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-sessions-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const pkg = path.join(dir, 'app.json');
  fs.writeFileSync(pkg, JSON.stringify(samplePackage(['quadra'], 256)));
  const app = new lc.promises.LcApp();
  assert.ok(app.openFromFile(pkg));
  await new lc.promises.Loader(com).send(app);
  assert.strictEqual(host.relay.loader.results.filter((r) => r.ok).length, 1);

  const file = path.join(dir, 'clip.bin');
  fs.writeFileSync(file, Buffer.alloc(300, 9));
  const stored = new Promise((resolve) => host.relay.once('sdfile', resolve));
  await new lc.promises.SdSender(com).send(file);
  assert.strictEqual((await stored).bytes.length, 300);

  // Short data messages that begin like a write-file frame stay the application's.
  const custom = new lc.promises.CustomApp(com);
  const run = custom.start();
  custom.sendData(new Uint8Array([1, 2]));
  await new Promise((resolve) => {
    const check = () => (host.relay.customApp.data.some((d) => d.length === 2 && d[0] === 1) ? resolve() : setTimeout(check, 10));
    check();
  });
  assert.strictEqual(host.relay.sd.transfer, null);
  await custom.stop();
  await run;
});
