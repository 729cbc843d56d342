// Declarations of the ES module entry: the names of the CommonJS entry.
import lc from './index.js';

export * from './index.js';
export default lc;
