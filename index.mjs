// The package entry for ES modules: the same objects as `require('lc-tiles')`,
// as named exports (a CommonJS module built by spreading the native exports
// shows none of its names to `import`), and the whole of it as the default.
// The names are listed by hand; a test keeps them equal to the CommonJS keys.
import { createRequire } from 'node:module';

const lc = createRequire(import.meta.url)('./index.js');

export const {
  LcApp, Loader, Changer, Luminosity, Player, Log, RelayFinder, SimLoader,
  CustomApp, Reset, SdSender, Topology, Com, ComBridge,
} = lc;
export const promises = lc.promises;
export const logs = lc.logs;
export const Show = lc.Show;
export default lc;
