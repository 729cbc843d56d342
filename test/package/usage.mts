// An ES module user of the package, compiled with --strict (module
// nodenext) by the packaging test; never run.
import lc, { Com, promises } from 'lc-tiles';
import lcp, { connect, LcError, type TransferOptions } from 'lc-tiles/promises';

const com: Com = new lc.Com();
com.start({ type: 'TCPIP', ip: '127.0.0.1', port: 1 }, (u: undefined, code: lc.ComCode) => console.log(code));
export async function version(options?: TransferOptions): Promise<number> {
  const linked: promises.Com = await connect({ ip: '127.0.0.1', port: 1 });
  const failed = (e: unknown): boolean => e instanceof LcError && e.code === 'ERR_LC_FAILED';
  console.log(options, failed, linked instanceof lcp.Com);
  return linked.getVersion();
}
