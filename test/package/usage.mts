// An ES module user of the package; the packaging test compiles it with
// --strict (module nodenext). It is never run.
import lc, { Com, Topology, Log, promises } from 'lc-tiles';
import lcp, { connect, LcError, type TransferOptions } from 'lc-tiles/promises';

const com: Com = new Com();
const started: boolean = com.start({ type: 'TCPIP', ip: '127.0.0.1', port: 1 }, (u: undefined, code: lc.ComCode) => {
  if (code === 0) console.log(com.getVersion());
});
const top: Topology = new lc.Topology([]);
Log.setMode('simple');

async function promised(): Promise<number> {
  const linked: promises.Com = await connect({ ip: '127.0.0.1', port: 1 });
  const same: typeof promises.connect = lcp.connect;
  const options: TransferOptions | undefined = undefined;
  console.log(same, options, linked instanceof lcp.Com, (e: unknown) => e instanceof LcError && e.code === 'ERR_LC_FAILED');
  return linked.getVersion();
}
console.log(started, top, promised);
