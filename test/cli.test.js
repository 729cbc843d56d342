'use strict';

// Every command of the command-line tool against a virtual relay, with its
// exit code: 0 done, 1 the work failed (one message), 2 a wrong command line.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const net = require('net');
const path = require('path');
const lc = require('..');
const { startRelay, samplePackage, sampleInstallation, gridInstallation, FrameParser } = require('../lib/relay');
const { runLc, startLc, bin } = require('./support/cli');
const { skipFor } = require('./support/skip');
const delay = (ms) => new Promise((r) => setTimeout(r, ms));

const missing = (...names) => {
  const absent = names.filter((n) => typeof lc[n] !== 'function');
  return skipFor(absent.length ? `the class${absent.length > 1 ? 'es' : ''} ${absent.map((n) => `"${n}"`).join(', ')} not in this build` : false);
};
const hasUpdate = typeof lc.Topology.prototype.update === 'function';
const noUpdate = skipFor(hasUpdate ? false : 'Topology.update is not in this build');

async function withHost(t, options) {
  const host = await startRelay({ period: 20, ...options });
  t.after(() => host.stop());
  return host;
}

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'lc-cli-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// A port where connections are taken and closed at once: no relay answers.
async function deadPort(t) {
  const server = net.createServer((s) => s.destroy());
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => new Promise((resolve) => server.close(resolve)));
  return String(server.address().port);
}

// The first whole frame a TCP peer at `port` sends.
function firstFrame(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const parser = new FrameParser((frame) => {
      socket.destroy();
      resolve(frame);
    });
    socket.on('data', (d) => parser.push(d));
    socket.on('error', reject);
  });
}

test('wrong command lines exit 2 with a usage message', async () => {
  const cases = [
    [[], /Usage: lc/],
    [['nonsense'], /unknown command/],
    [['info'], /--port/],
    [['info', '--port', '70000'], /must be 0 to 65535/],
    [['info', '--port', '12', '--host', '300.1.2.3'], /IPv4/],
    [['info', '--port', '12', '--host', 'relay..local'], /host name/],
    [['luminosity', '300', '--port', '1'], /must be 0 to 255/],
    [['app', 'x', '--port', '1'], /whole number/],
    [['play', '--mode', 'sepia', '--port', '1'], /video, rgb, mask/],
    [['play', '--gamma', '2,2', '--port', '1'], /three \(red,green,blue\)/],
    [['play', '--gains', '1,1,20', '--port', '1'], /from 0 to 16/],
    [['play', '--fit', 'zoom', '--port', '1'], /contain, cover, stretch/],
    [['play', '--seconds', '0', '--port', '1'], /above 0/],
    [['identify', '--port', '1'], /--tile/],
    [['topology', '--tile-type', 'hexagon', '--port', '1'], /delta, quadra/],
    [['relay', '--period', '0'], /must be 5 to 10000/],
    [['relay', '--grid', '3by2'], /not COLUMNSxROWS/],
    [['relay', '--version', '1.2.256'], /not a version/],
    [['relay', '--sd-fault', 'fail-later'], /fail-ready, fail-data/],
    [['info', '--port', '1', '--bogus'], /unknown option/],
    [['info', '--show', 'show.json', '--port', '1'], /--show <file>' cannot be used with option '--port/],
    [['relay', '--count', '0'], /must be 1 to 256/],
  ];
  const results = await Promise.all(cases.map(([args]) => runLc(args)));
  results.forEach((r, i) => {
    const [args, pattern] = cases[i];
    assert.strictEqual(r.code, 2, `lc ${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr + r.stdout, pattern, args.join(' '));
  });
});

test('--help works for the tool and for each command', async () => {
  const commands = ['discover', 'info', 'topology', 'luminosity', 'app', 'reset', 'play', 'upload', 'send', 'bridge', 'relay'];
  const results = await Promise.all([runLc(['--help']), ...commands.map((c) => runLc([c, '--help']))]);
  assert.strictEqual(results[0].code, 0);
  for (const c of commands) assert.match(results[0].stdout, new RegExp(`\\n  ${c}\\b`));
  commands.forEach((c, i) => {
    const r = results[i + 1];
    assert.strictEqual(r.code, 0, c);
    assert.match(r.stdout, new RegExp(`^Usage: lc ${c} `), c);
  });
});

// `lc --help` is laid out from the command table and the commands not named
// stand in from it; both must read as the parser's help of every command built.
test('the tool\'s help from the table and the stand-ins is the built commands\' help at any width', () => {
  const { program } = require('../lib/cli/main');
  const { toolHelp } = require('../lib/cli/help');
  const at = (cli, width) => cli.configureHelp({ ...cli.configureHelp(), helpWidth: width }).helpInformation();
  for (const width of [undefined, 20, 45, 61, 80, 100, 132, 400]) {
    const built = at(program(), width);
    assert.strictEqual(at(program([]), width), built, `stand-ins, ${width} columns`);
    assert.strictEqual(toolHelp(width), built, `table, ${width} columns`);
  }
});

test('info prints the version and state; a silent address fails with one message', async (t) => {
  const host = await withHost(t, { state: 9, version: 0x01020304 });
  const dead = await deadPort(t);
  const [text, json, fail] = await Promise.all([
    runLc(['info', '--port', String(host.port)]),
    runLc(['info', '--port', String(host.port), '--json']),
    runLc(['info', '--port', dead]),
  ]);
  assert.strictEqual(text.code, 0, text.stderr);
  assert.match(text.stdout, /version 1\.2\.3\.4 \(16909060\)/);
  assert.match(text.stdout, /state 9 \(ready for commands\)/);
  assert.strictEqual(json.code, 0, json.stderr);
  assert.deepStrictEqual(JSON.parse(json.stdout), {
    host: '127.0.0.1',
    port: host.port,
    version: 0x01020304,
    state: 9,
    ready: true,
  });
  assert.strictEqual(fail.code, 1);
  assert.deepStrictEqual(fail.stderr.split('\n').filter((l) => l.startsWith('lc:')), [
    `lc: no status from 127.0.0.1:${dead}: not a relay, or not answering`,
  ]);
});

test('topology prints the relay\'s document and matrix', { skip: noUpdate }, async (t) => {
  const host = await withHost(t);
  const [json, text] = await Promise.all([
    runLc(['topology', '--port', String(host.port), '--tile-type', 'quadrav2', '--json']),
    runLc(['topology', '--port', String(host.port), '--angle', '90']),
  ]);
  assert.strictEqual(json.code, 0, json.stderr);
  const { document, matrix } = JSON.parse(json.stdout);
  assert.strictEqual(document.length, 13);
  assert.ok(document.slice(1).every((m) => m.type === 5));
  assert.deepStrictEqual(matrix, [[1, 1, 1, 1], [1, 1, 1, 1], [1, 1, 1, 1]]);
  assert.strictEqual(text.code, 0, text.stderr);
  assert.match(text.stdout, /12 tiles; matrix at 90 degrees:\n###\n###\n###\n###\n$/);
});

// Output larger than a pipe holds reaches a reader that waits a second
// before it reads; a write that fails (a full disk) fails the command.
test('output reaches a slow reader whole, and a full disk fails the command', { skip: noUpdate }, async (t) => {
  const host = await withHost(t);
  const file = path.join(tempDir(t), 'grid.json');
  fs.writeFileSync(file, JSON.stringify(gridInstallation(40, 40)));
  const full = fs.openSync('/dev/full', 'w');
  t.after(() => fs.closeSync(full));
  const lc = (stdout) => require('child_process').spawn(process.execPath,
    [bin, 'topology', '--port', String(host.port), '--topology', file, '--json'], { stdio: ['ignore', stdout, 'pipe'] });
  const ended = (child) => new Promise((resolve) => child.on('close', resolve));
  const slow = lc('pipe');
  slow.stdout.pause();
  await delay(1000);
  const [text, code] = await Promise.all([require('stream/consumers').text(slow.stdout), ended(slow)]);
  assert.strictEqual(code, 0);
  assert.strictEqual(JSON.parse(text).document.length, 1601, `${text.length} bytes`);

  const failed = lc(full);
  const [stderr, failure] = await Promise.all([require('stream/consumers').text(failed.stderr), ended(failed)]);
  assert.strictEqual(failure, 1);
  // The log's lines aside, one message.
  assert.match(stderr.split('\n').filter((l) => l.startsWith('lc:')).join('\n'), /^lc: could not write the output: .*ENOSPC[^\n]*$/);
});

test('luminosity, app and reset reach the relay', { skip: missing('Luminosity', 'Changer', 'Reset') }, async (t) => {
  const host = await withHost(t);
  const port = String(host.port);
  const results = await Promise.all([
    runLc(['luminosity', '77', '--port', port]),
    runLc(['app', '4', '--port', port]),
  ]);
  for (const r of results) assert.strictEqual(r.code, 0, r.stderr);
  assert.strictEqual(host.relay.commands.luminosity, 77);
  assert.ok(host.relay.received.some((f) => f.type === 1 && f.payload[0] === 2 && f.payload[1] === 4));
  const reset = await runLc(['reset', '--port', port]);
  assert.strictEqual(reset.code, 0, reset.stderr);
  assert.match(reset.stdout, /relay reset/);
  assert.ok(host.relay.received.some((f) => f.type === 1 && f.payload[0] === 1));

  // A relay that never gets ready: the command fails after its 5 s wait.
  const busy = await withHost(t, { state: 0 });
  const fail = await runLc(['luminosity', '1', '--port', String(busy.port)]);
  assert.strictEqual(fail.code, 1);
  assert.match(fail.stderr, /lc: the luminosity change failed/);
});

test('play streams a generated animation and PNG files at the relay\'s pace', { skip: missing('Player') }, async (t) => {
  const host = await withHost(t, { mode: 'rgb' });
  const port = String(host.port);
  const dir = tempDir(t);
  // The installation from a document: the relay's own answer is checked above.
  const doc = path.join(dir, 'installation.json');
  fs.writeFileSync(doc, JSON.stringify(sampleInstallation()));
  // A red PNG: every LED must end up red.
  const { PNG } = require('pngjs');
  const png = new PNG({ width: 8, height: 6 });
  for (let i = 0; i < png.data.length; i += 4) png.data.set([255, 0, 0, 255], i);
  const red = path.join(dir, 'red.png');
  fs.writeFileSync(red, PNG.sync.write(png));
  fs.writeFileSync(path.join(dir, 'bad.png'), 'not a png');

  const anim = await runLc(['play', '--port', port, '--topology', doc, '--mode', 'rgb', '--seconds', '1', '--sensors']);
  assert.strictEqual(anim.code, 0, anim.stderr);
  assert.match(anim.stdout, /played \d+ pictures of 40x30 in rgb mode: \d+ frames sent/);
  assert.match(anim.stdout, /sensors \(\d+x\d+\):/);
  const frames = host.relay.pixelStats.frames;
  assert.ok(frames > 10, `${frames} pixel frames`);

  const still = await runLc(['play', red, '--port', port, '--topology', doc, '--mode', 'rgb', '--seconds', '0.5',
    '--fit', 'cover', '--gamma', '2.2', '--gains', '1,0.9,0.8', '--fps', '30']);
  assert.strictEqual(still.code, 0, still.stderr);
  for (const id of [1, 6, 12]) {
    assert.deepStrictEqual(host.relay.ledsOf(id).slice(0, 3), [[1, 0, 0], [1, 0, 0], [1, 0, 0]], `tile ${id}`);
  }

  const bad = await runLc(['play', path.join(dir, 'bad.png'), '--port', port]);
  assert.strictEqual(bad.code, 1);
  assert.match(bad.stderr, /bad\.png is not a readable PNG file/);

  // Without ffmpeg, a video fails with one line that says how to install it.
  const clip = path.join(dir, 'clip.mp4');
  fs.writeFileSync(clip, 'a video');
  const noTool = await runLc(['play', clip, '--port', port], { env: { ...process.env, PATH: dir } });
  assert.strictEqual(noTool.code, 1);
  assert.match(noTool.stderr, /^lc: .*clip\.mp4 needs ffmpeg, which is not installed: install it with "apt-get install -y ffmpeg"\n$/);
});

test('play --show plays across every relay, one line each, exit 1 when one fails', { skip: missing('Player') }, async (t) => {
  const hosts = [await withHost(t), await withHost(t)];
  const dir = tempDir(t);
  const relays = hosts.map((h, i) => ({ name: `r${i}`, host: '127.0.0.1', port: h.port, tileType: 'quadrav2', at: [45 * i, 0] }));
  const file = (name, list) => {
    fs.writeFileSync(path.join(dir, name), JSON.stringify({ relays: list }));
    return path.join(dir, name);
  };
  const ok = await runLc(['play', '--show', file('ok.json', relays), '--seconds', '1', '--mode', 'rgb']);
  assert.strictEqual(ok.code, 0, ok.stderr);
  assert.match(ok.stdout, /^r0: played \d+ pictures of 40x30 at \[0, 0\], \d+ frames sent\nr1: played \d+ pictures of 40x30 at \[45, 0\].*\nshow: \d+ pictures of 85x30 in rgb mode on 2 relays/);
  const dead = String(await deadPort(t));
  const one = await runLc(['play', '--show', file('one.json', [...relays, { name: 'r2', host: '127.0.0.1', port: Number(dead), tileType: 'quadra', at: [0, 40] }]), '--seconds', '0.5']);
  assert.strictEqual(one.code, 1, one.stderr);
  assert.match(one.stdout, /r0: played .*\nr1: played .*\nr2: failed: .+\nshow: /);
  assert.match(one.stderr, /lc: 1 of 3 relays failed: r2\n$/);
});

test('identify lights exactly one tile', { skip: missing('Player') }, async (t) => {
  const host = await withHost(t);
  const dir = tempDir(t);
  const doc = path.join(dir, 'installation.json');
  fs.writeFileSync(doc, JSON.stringify(sampleInstallation()));
  const run = await runLc(['identify', '--tile', '7', '--seconds', '0.5', '--port', String(host.port), '--topology', doc]);
  assert.strictEqual(run.code, 0, run.stderr);
  assert.match(run.stdout, /tile 7 lit for 0\.5 s/);
  for (let id = 1; id <= 12; id++) {
    const lit = host.relay.ledsOf(id).map((led) => (led && led.every((v) => v === 255) ? 1 : led && led.every((v) => v === 0) ? 0 : -1));
    assert.deepStrictEqual(new Set(lit), new Set([id === 7 ? 1 : 0]), `tile ${id}`);
  }
  const none = await runLc(['identify', '--tile', '13', '--port', String(host.port), '--topology', doc]);
  assert.strictEqual(none.code, 1);
  assert.match(none.stderr, /no tile 13 \(its tiles: 1, 2, .*12\)/);
});

test('upload checks the package against the installation, then sends it', { skip: missing('Loader') || noUpdate }, async (t) => {
  const host = await withHost(t);
  const port = String(host.port);
  const dir = tempDir(t);
  const both = path.join(dir, 'both.json');
  const one = path.join(dir, 'one.json');
  const doc = path.join(dir, 'installation.json');
  fs.writeFileSync(both, JSON.stringify(samplePackage(['quadra', 'quadrav2'], 256)));
  fs.writeFileSync(one, JSON.stringify(samplePackage(['quadra'], 256)));
  fs.writeFileSync(doc, JSON.stringify(sampleInstallation()));

  const refused = await runLc(['upload', one, '--port', port, '--topology', doc]);
  assert.strictEqual(refused.code, 1);
  assert.match(refused.stderr, /lc: the package has no image for quadrav2 \(modules 1, 3, 5, 7, 9, 11\); nothing was sent/);
  assert.ok(!host.relay.received.some((f) => f.type === 3), 'no loader packet before the check passed');

  const done = await runLc(['upload', both, '--port', port, '--topology', doc]);
  assert.strictEqual(done.code, 0, done.stderr);
  assert.match(done.stdout, /uploaded .*both\.json \(quadra, quadrav2\)/);
  assert.ok(host.relay.received.filter((f) => f.type === 3).length > 2);

  const notPackage = await runLc(['upload', doc, '--port', port]);
  assert.strictEqual(notPackage.code, 1);
  assert.match(notPackage.stderr, /is not an application package/);
});

// A show file naming `hosts` (virtual relays here) as left, mid, right...
function showFile(dir, hosts, extra = () => ({})) {
  const file = path.join(dir, 'show.json');
  const relays = hosts.map((h, i) => ({ name: `r${i}`, host: '127.0.0.1', port: h.port, tileType: 'quadrav2', at: [10 * i, 0], ...extra(i) }));
  fs.writeFileSync(file, JSON.stringify({ relays }));
  return file;
}

test('--show runs a command on every relay at once, one line per relay', { skip: missing('Loader', 'Luminosity') || noUpdate }, async (t) => {
  const hosts = await Promise.all([0, 1, 2, 3].map(() => withHost(t)));
  const dir = tempDir(t);
  const show = showFile(dir, hosts);
  const pkg = path.join(dir, 'app.json');
  fs.writeFileSync(pkg, JSON.stringify(samplePackage(['quadra', 'quadrav2'], 4096)));

  const lum = await runLc(['luminosity', '33', '--show', show]);
  assert.strictEqual(lum.code, 0, lum.stderr);
  assert.strictEqual(lum.stdout, ['r0', 'r1', 'r2', 'r3'].map((n) => `${n}: luminosity set to 33\n`).join(''));
  for (const h of hosts) assert.strictEqual(h.relay.commands.luminosity, 33);
  const info = await runLc(['info', '--json', '--show', show]);
  assert.strictEqual(info.code, 0, info.stderr);
  assert.deepStrictEqual(JSON.parse(info.stdout).map((i) => [i.name, i.port, i.ready]),
    hosts.map((h, i) => [`r${i}`, h.port, true]));

  // The last relay drops the link in the middle of the stream.
  hosts[3].relay.faultAfterBlocks(3, 'close');
  const taken = hosts.slice(0, 3).map((h) => new Promise((resolve) => h.relay.once('upload', resolve)));
  const up = await runLc(['upload', pkg, '--show', show]);
  assert.strictEqual(up.code, 1, up.stderr);
  const lines = up.stdout.split('\n').filter(Boolean);
  assert.deepStrictEqual(lines.slice(0, 3), ['r0', 'r1', 'r2'].map((n) => `${n}: uploaded (quadra, quadrav2)`));
  assert.match(lines[3], /^r3: failed: the upload failed: \S/);
  assert.strictEqual(lines.length, 4);
  assert.match(up.stderr, /lc: 1 of 4 relays failed\n$/);
  for (const r of await Promise.all(taken)) assert.ok(r.ok, r.error);
});

test('topology --check names missing, extra and rewired modules', { skip: noUpdate }, async (t) => {
  const host = await withHost(t);
  const dir = tempDir(t);
  const saved = (name, edit) => {
    const doc = sampleInstallation();
    edit(doc);
    const file = path.join(dir, `${name}.json`);
    fs.writeFileSync(file, JSON.stringify(doc));
    return file;
  };
  const drop = (doc, id) => {
    doc.splice(doc.findIndex((m) => m.id === id), 1);
    for (const m of doc) m.neighbours = m.neighbours.filter((n) => n.id !== id);
  };
  const cases = [
    // Saved before tile 12 was added, before tile 13 was removed, before a cable moved.
    ['added', (doc) => drop(doc, 12), ['module 12 extra']],
    ['removed', (doc) => doc.push({ id: 13, type: 5, neighbours: [{ channel: 2, id: 12, child: 0 }] }), ['module 13 missing']],
    ['relinked', (doc) => (doc[6].neighbours.find((n) => n.channel === 1).id = 8),
      ['module 6 wired differently: channel 1 to module 8, now to module 7']],
    ['same', () => {}, []],
  ];
  const results = await Promise.all(cases.map(([name, edit]) =>
    runLc(['topology', '--check', saved(name, edit), '--port', String(host.port), '--tile-type', 'quadrav2'])));
  results.forEach((r, i) => {
    const [name, , lines] = cases[i];
    assert.strictEqual(r.code, lines.length ? 1 : 0, `${name}: ${r.stderr}`);
    assert.deepStrictEqual(lines.length ? r.stdout.split('\n').filter(Boolean) : [], lines, name);
  });
  assert.match(results[3].stdout, /^as saved in .*same\.json \(13 modules\)\n$/);

  // With a show, each relay against its own saved document (one relay,
  // named twice).
  const show = showFile(dir, [host, host], (i) => ({ host: i ? 'localhost' : '127.0.0.1', topology: i ? 'added.json' : 'same.json' }));
  const both = await runLc(['topology', '--check', '--show', show]);
  assert.strictEqual(both.code, 1, both.stderr);
  assert.strictEqual(both.stdout, 'r0: as saved (13 modules)\nr1: failed: module 12 extra\n');
});

test('send copies a file to the SD card with a progress bar', { skip: missing('SdSender', 'SimLoader') }, async (t) => {
  const host = await withHost(t);
  const port = String(host.port);
  const dir = tempDir(t);
  const file = path.join(dir, 'clip.bin');
  const bytes = Buffer.alloc(10000);
  for (let i = 0; i < bytes.length; i++) bytes[i] = (i * 7) & 0xff;
  fs.writeFileSync(file, bytes);
  const stored = new Promise((resolve) => host.relay.once('sdfile', resolve));
  const r = await runLc(['send', file, '--port', port]);
  assert.strictEqual(r.code, 0, r.stderr);
  assert.match(r.stdout, /sent .*clip\.bin \(10000 bytes\)/);
  const got = await stored;
  assert.strictEqual(got.name, 'clip.bin');
  assert.ok(Buffer.from(got.bytes).equals(bytes));

  const simulated = new Promise((resolve) => host.relay.once('sdfile', resolve));
  const sim = await runLc(['send', file, '--port', port, '--simulator']);
  assert.strictEqual(sim.code, 0, sim.stderr);
  assert.match(sim.stdout, /to the simulator/);
  // Named after the time it started, as the simulator expects.
  assert.match((await simulated).name, /^file\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n$/);

  const absent = await runLc(['send', path.join(dir, 'nothing.bin'), '--port', port]);
  assert.strictEqual(absent.code, 1);
  assert.match(absent.stderr, /lc: cannot read .*nothing\.bin: ENOENT/);
  const directory = await runLc(['send', dir, '--port', port]);
  assert.strictEqual(directory.code, 1);
  assert.match(directory.stderr, /is not a regular file/);
});

test('bridge lends the link to a client until interrupted', { skip: missing('ComBridge') }, async (t) => {
  const host = await withHost(t, { state: 6 });
  const run = startLc(['bridge', '--port', String(host.port), '--listen-port', '0']);
  t.after(() => run.child.kill('SIGKILL'));
  const [, port] = await run.waitFor(/bridge listening on 127\.0\.0\.1:(\d+)/);
  const frame = await firstFrame(Number(port));
  assert.strictEqual(frame.type, 0);
  assert.strictEqual(frame.payload.readUInt16LE(0), 6);
  run.child.kill('SIGINT');
  const r = await run.done;
  assert.strictEqual(r.code, 130, r.stderr); // Ctrl-C, after the bridge ended in order
  assert.match(r.stdout, /bridge stopped/);
});

test('bridge fails with one message when the relay ends the link', { skip: missing('ComBridge') }, async (t) => {
  const host = await withHost(t, { state: 6 });
  const run = startLc(['bridge', '--port', String(host.port), '--listen-port', '0']);
  t.after(() => run.child.kill('SIGKILL'));
  const [, port] = await run.waitFor(/bridge listening on 127\.0\.0\.1:(\d+)/);
  await firstFrame(Number(port));
  host.relay.disconnect();
  const r = await run.done;
  assert.strictEqual(r.code, 1, r.stderr);
  assert.match(r.stderr, /lc: the relay ended the link/);
});

test('relay runs a virtual relay with the sample or a given installation', async (t) => {
  const dir = tempDir(t);
  const doc = path.join(dir, 'two.json');
  fs.writeFileSync(doc, JSON.stringify([
    { id: 0, type: 0, neighbours: [{ channel: 0, id: 1, child: 1 }] },
    { id: 1, type: 3, neighbours: [{ channel: 0, id: 0, child: 0 }] },
  ]));
  const sample = startLc(['relay', '--port', '0', '--state', '3', '--version', '1.2.3.4']);
  const given = startLc(['relay', '--port', '0', '--topology', doc, '--mode', 'mask']);
  const grid = startLc(['relay', '--port', '0', '--grid', '3x2', '--tile', 'varna']);
  t.after(() => {
    sample.child.kill('SIGKILL');
    given.child.kill('SIGKILL');
    grid.child.kill('SIGKILL');
  });
  const [, port] = await sample.waitFor(/virtual relay listening on 127\.0\.0\.1:(\d+) \(12 tiles, video mode\)/);
  await given.waitFor(/listening on 127\.0\.0\.1:\d+ \(1 tiles, mask mode\)/);
  await grid.waitFor(/listening on 127\.0\.0\.1:\d+ \(6 tiles, video mode\)/);
  const frame = await firstFrame(Number(port));
  assert.strictEqual(frame.payload.readUInt16LE(0), 3);
  assert.strictEqual(frame.payload.readUInt32LE(4), 0x01020304);
  for (const run of [sample, given, grid]) {
    run.child.kill('SIGINT');
    const r = await run.done;
    assert.strictEqual(r.code, 130, r.stderr);
    assert.match(r.stdout, /virtual relay stopped/);
  }
  // Three at once on consecutive ports, the given installation for all.
  const three = startLc(['relay', '--count', '3', '--topology', doc]);
  t.after(() => three.child.kill('SIGKILL'));
  const [, last] = await three.waitFor(/relay3: virtual relay listening on 127\.0\.0\.1:(\d+) \(1 tiles/);
  const ports = [];
  for (const n of [1, 2]) ports.push(Number((await three.waitFor(new RegExp(`relay${n}: .*:(\\d+) `)))[1]));
  assert.deepStrictEqual(ports, [Number(last) - 2, Number(last) - 1]);
  await Promise.all([...ports, Number(last)].map(firstFrame));
  three.child.kill('SIGINT');
  assert.match((await three.done).stdout, /virtual relays stopped/);
  const broken = await runLc(['relay', '--topology', path.join(dir, 'absent.json')]);
  assert.strictEqual(broken.code, 1);
  assert.match(broken.stderr, /lc: cannot read .*absent\.json: ENOENT/);
});

// Discovery greets every local network: it runs only inside a private network
// namespace that this test makes, where loopback is the only interface.
function namespaceProblem() {
  const r = require('child_process').spawnSync('unshare', ['-n', 'ip', 'link', 'set', 'lo', 'up'], { encoding: 'utf8' });
  if (r.error) return `unshare or ip is missing (${r.error.code})`;
  if (r.status !== 0) return `unshare -n failed (needs root): ${(r.stderr || '').trim()}`;
  return null;
}

test('discover prints what it greets first, then the relays found', {
  skip: missing('RelayFinder') || skipFor(namespaceProblem()),
  timeout: 60000,
}, async () => {
  const { spawn } = require('child_process');
  const scenario = path.join(__dirname, 'support', 'discover-in-netns.js');
  const child = spawn('unshare', ['-n', process.execPath, scenario, fs.readlinkSync('/proc/self/ns/net')]);
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => (out += d));
  child.stderr.on('data', (d) => (err += d));
  const code = await new Promise((resolve) => child.on('close', resolve));
  assert.strictEqual(code, 0, err);
  const { port, json, text, tiles } = JSON.parse(out.split('\n').find((l) => l.startsWith('RESULT ')).slice(7));
  for (const r of [json, text, tiles]) {
    assert.strictEqual(r.code, 0, r.stderr);
    // What will be greeted comes first: here loopback only, twice.
    assert.match(r.stderr, /^greeting "Hello relay" on UDP port 9860 to: 127\.0\.0\.1, 127\.0\.0\.1\n/);
  }
  const entries = JSON.parse(json.stdout);
  assert.deepStrictEqual(entries, [{ name: 'virtual-relay', host: '127.0.0.1', port }]);
  // Pasted into a show file with the two fields a user adds, it passes the check.
  const { checkShow } = require('../lib/show/file');
  assert.strictEqual(checkShow({ relays: entries.map((e) => ({ ...e, tileType: 'quadra', at: [0, 0] })) }).length, 1);
  assert.strictEqual(text.stdout, `virtual-relay at 127.0.0.1:${port}\n`);
  assert.strictEqual(tiles.stdout, 'no relay answered\n');
});

test('relay and play fail with one message on a busy port or an installation without relay', async (t) => {
  const busy = net.createServer();
  await new Promise((resolve) => busy.listen(0, '127.0.0.1', resolve));
  t.after(() => new Promise((resolve) => busy.close(resolve)));
  const taken = String(busy.address().port);
  const dir = tempDir(t);
  const noRelay = path.join(dir, 'tiles-only.json');
  fs.writeFileSync(noRelay, JSON.stringify([{ id: 3, type: 4, neighbours: [] }]));
  const host = await withHost(t);
  const [relayBusy, webBusy, play] = await Promise.all([
    runLc(['relay', '--port', taken]),
    runLc(['relay', '--port', '0', '--web', '--web-port', taken]),
    runLc(['play', '--port', String(host.port), '--topology', noRelay]),
  ]);
  assert.strictEqual(relayBusy.code, 1, relayBusy.stderr);
  assert.match(relayBusy.stderr, new RegExp(`lc: cannot run the relay: port ${taken} is in use`));
  assert.strictEqual(webBusy.code, 1, webBusy.stderr);
  assert.match(webBusy.stderr, /lc: cannot run the relay/);
  assert.strictEqual(play.code, 1, play.stderr);
  assert.match(play.stderr, /lc: .*tiles-only\.json has no relay \(module 0\)/);
});
