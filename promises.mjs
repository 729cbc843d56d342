// `import { connect } from 'lc-tiles/promises'`: the promise forms as named
// exports, and the whole of them as the default.
import { createRequire } from 'node:module';

const promises = createRequire(import.meta.url)('./promises.js');

export const {
  LcError, logs, toNative, connect, findRelays, Com, Topology, Changer, Luminosity,
  Reset, Loader, SdSender, SimLoader, LcApp, RelayFinder, Player, CustomApp,
  ComBridge, Show,
} = promises;
export default promises;
