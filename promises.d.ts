// `require('lc-tiles/promises')`: the promise forms of the classes.
import { promises } from './index';
export = promises;
