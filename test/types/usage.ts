// Uses every class, callback and promise form the declarations describe; the
// types test compiles it with --strict. It is never run.
import * as lc from '../..';

function natives(doc: lc.TopologyModule[]): void {
  const log = new lc.Log('types');
  log.info('message');
  log.error();
  log.flush();
  lc.Log.setMode('simple');

  const app = new lc.LcApp();
  const opened: boolean = app.openFromFile('app.json');

  const top = new lc.Topology(doc);
  const document: lc.TopologyModule[] = top.getTop();
  const link: lc.TopologyLink = document[0].neighbours[0];
  const matrix: number[][] = top.getMatrix(90);

  const com = new lc.Com();
  const description: lc.DriverDescription = { type: 'TCPIP', ip: '127.0.0.1', port: 1 };
  const started: boolean = com.start(description, (unused: undefined, code: lc.ComCode) => {
    if (code === 0) console.log(com.ready(), com.getVersion(), com.getState());
  });
  const stopped: boolean = com.stop();

  const player = new lc.Player(com);
  const mode: lc.PlayerMode = 'video';
  const screen: lc.PlayerScreen = player.getScreen(0, top, mode);
  player.start(0, top, mode, true, (unused: undefined) => console.log(unused));
  player.addImage(new Uint8Array(screen.width * screen.height * 4));
  player.addImage(new Uint8ClampedArray(4), 'BGR');
  const sensors = new Uint16Array(screen.rows * screen.columns);
  player.getSensors(sensors);
  const counters: lc.PlayerCounters = player.getCounters();
  player.stop();

  const failed = (f: boolean): void => console.log(f);
  new lc.Changer(com).changeTo(3, failed);
  new lc.Luminosity(com).changeTo(180, (f: boolean) => console.log(f));
  new lc.Reset(com).reset(failed);
  new lc.Reset(com).fallback(failed);
  new lc.Topology().update('relay', 'quadra', com, failed);

  const packages = new lc.LcApp();
  const types: string[] = packages.getTypes();
  const progress: lc.TransferProgress = (sent: number, total: number) => console.log(sent / total);
  new lc.Loader(com).send(packages, failed, progress);
  new lc.Loader(com).send(packages);
  new lc.SdSender(com).send('clip.bin', (f: boolean) => console.log(f));
  new lc.SimLoader(com).send('clip.bin', failed, progress);
  console.log(types);

  const finder = new lc.RelayFinder();
  const searching: boolean = finder.start('relay', (unused: undefined, relays: lc.FoundRelay[]) => {
    for (const r of relays) com.start(r, () => undefined);
  });

  const app2 = new lc.CustomApp(com);
  const running: boolean = app2.start((unused: undefined, kind: 'concast' | 'stop', bytes?: Uint8Array) => {
    if (kind === 'concast' && bytes) console.log(bytes.length);
  });
  const queued: boolean = app2.sendBroadcast(new Uint8Array(3));
  app2.sendData(Buffer.from('x'));
  app2.stop();

  const bridge = new lc.ComBridge(com);
  const options: lc.ComBridgeOptions = { host: '127.0.0.1', port: 0 };
  const bridging: boolean = bridge.start((unused: undefined, code: 0 | 1, port?: number) => console.log(code, port), options);
  bridge.start(() => undefined);
  const port: number = bridge.getPort();
  const bridgeStopped: boolean = bridge.stop();
  console.log(opened, link.child, matrix.length, started, stopped, counters.framesSent, screen.frames);
  console.log(searching, running, bridging, port, bridgeStopped);
}

async function promiseForms(doc: lc.TopologyModule[]): Promise<void> {
  const { promises } = lc;
  const com: lc.promises.Com = await promises.connect({ ip: '127.0.0.1', port: 1 }, { signal: AbortSignal.timeout(10) });
  const again: lc.promises.Com = await new promises.Com().start({ type: 'TCPIP', ip: '127.0.0.1', port: 2 });
  com.on('code', (code: lc.ComCode) => console.log(code)).on('end', () => undefined);
  for await (const code of com.codes()) {
    const c: 0 | 1 | 2 = code;
    console.log(c);
  }
  for await (const code of again) console.log(code);
  await com.ended;
  await com.stop();
  const version: number = com.getVersion();
  const nativeCom: lc.Com = promises.toNative(com);

  const top = new promises.Topology(doc);
  await top.update('relay', 'quadra', com);
  await top.update('relay', 'quadra', nativeCom);
  const rows: number[][] = top.getMatrix(0);
  const nativeTop: lc.Topology = top.native;

  const app = new promises.LcApp();
  const tags: string[] = app.openFromFile('app.json') ? app.getTypes() : [];

  try {
    await top.update('relay', 'delta', com);
  } catch (err) {
    if (err instanceof promises.LcError && err.code === 'ERR_LC_FAILED') console.log(err.message);
  }
  const player = new promises.Player(com);
  const screen: lc.PlayerScreen = player.getScreen(90, top, 'rgb');
  player.addImage(Buffer.alloc(screen.width * screen.height * 4));
  const ended: Promise<void> = player.start(90, top, 'rgb', false);
  player.stop();
  await ended;
  const counters: lc.PlayerCounters = player.getCounters();
  const nativePlayer: lc.Player = player.native;

  await new promises.Loader(com).send(app, { onProgress: (sent: number, total: number) => console.log(sent, total) });
  await new promises.Loader(nativeCom).send(app.native);
  await new promises.SdSender(com).send('clip.bin', { onProgress: (sent, total) => console.log(sent < total) });
  await new promises.SimLoader(com).send('clip.bin');
  await new promises.Changer(com).changeTo(3);
  await new promises.Luminosity(nativeCom).changeTo(180);
  await new promises.Reset(com).reset();
  await new promises.Reset(com).fallback();

  const relays: lc.FoundRelay[] = await promises.findRelays('relayrpi');
  const more: lc.FoundRelay[] = await new promises.RelayFinder().start();
  const found: lc.promises.Com = await promises.connect(relays[0] ?? more[0]);

  const app2 = new promises.CustomApp(found);
  const run: Promise<void> = app2.start();
  app2.on('concast', (bytes: Buffer) => console.log(bytes.length)).on('stop', () => undefined);
  const taken: boolean = app2.sendData(new Uint8Array(2));
  for await (const bytes of app2.messages()) {
    const b: Buffer = bytes;
    console.log(b);
  }
  for await (const bytes of app2) console.log(bytes.byteLength);
  await app2.stop();
  await run;
  await app2.stopped;

  const bridge = new promises.ComBridge(found.native);
  const port: number = await bridge.start({ host: '127.0.0.1', port: 0 });
  bridge.on('listening', (p: number) => console.log(p)).on('end', () => undefined);
  await bridge.stop();
  await bridge.ended;
  console.log(port, bridge.getPort());
  console.log(version, rows, nativeTop, tags, counters.statusEvents, nativePlayer);
}

export { natives, promiseForms };

import lcp = require('../../promises');

async function subpath(): Promise<void> {
  const com: lc.promises.Com = await lcp.connect({ ip: '127.0.0.1', port: 1 });
  await new lcp.Luminosity(com).changeTo(1);
}

export { subpath };

async function shows(player: lc.Player, image: Uint8Array): Promise<void> {
  const n: number = player.addImage(image, undefined, { x: 1, y: 2, stride: 400 });
  const show = new lcp.Show({ relays: [{ host: '127.0.0.1', tileType: 'quadra', at: [0, 0] }] }, { mode: 'rgb', rejoin: true });
  show.on('leave', ({ name, reason }) => console.log(name, reason)).on('rejoin', ({ name }) => console.log(name));
  const canvas: lcp.ShowCanvas = await show.start({ signal: AbortSignal.timeout(1000) });
  const k: number = await show.push(new Uint8Array(4 * canvas.width * canvas.height));
  const { shown } = await show.play('clip.mp4', { fit: 'cover' });
  const c: lcp.ShowCounters = show.getCounters();
  console.log(n, k, shown, c.skewMs.p99, c.relays[0].reason, new lc.Show('show.json').canvas);
  await show.stop();
}

export { shows };
