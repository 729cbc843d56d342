// Type declarations of the native module.

/** Process-wide logger; every line goes to standard error, whole. */
export class Log {
  /** @param name source name printed in full-mode lines */
  constructor(name: string);
  /** Logs at level INFO; a missing message logs "undefined". */
  info(message?: string): void;
  /** Logs at level ERROR; a missing message logs "undefined". */
  error(message?: string): void;
  /** Flushes the standard error stream under the logger's lock. */
  flush(): void;
  /** "full" (the default: level, UTC time and source) or "simple" (message only); other texts change nothing. */
  static setMode(mode: 'full' | 'simple' | string): void;
}

/**
 * An application package: one Intel HEX firmware image per module type,
 * read from a JSON file (an array of `{ name: tag, hex: [record lines] }`).
 * Pass it to `Loader.send` to upload it.
 */
export class LcApp {
  /** An empty package; arguments are ignored. */
  constructor();
  /**
   * Reads a package file into this package, synchronously. Returns false when
   * the file cannot be read, is not a package (not JSON included), names an
   * unknown tag or a type already present, or holds a bad HEX record. Images
   * read before a failing element stay. Throws a TypeError when `path` is not
   * a string.
   */
  openFromFile(path: string): boolean;
}

/** One link of a module in a topology document. */
export interface TopologyLink {
  /** Channel of this module. */
  channel: number;
  /** Id of the module joined on that channel. */
  id: number;
  /** 1 when the joined module is this module's child, else 0. */
  child: number;
}

/** One module of a topology document. */
export interface TopologyModule {
  /** Module id; 0 is the relay. */
  id: number;
  /** Module type: 0 "relay", 1 "oldrelay", 2 "relayrpi", 3 "delta", 4 "quadra", 5 "quadrav2", 6 "varna", 255 unknown. */
  type: number;
  /** The module's links, in the order they were made. */
  neighbours: TopologyLink[];
}

/** The graph of one installation: its modules and how they are joined. */
export class Topology {
  /**
   * @param document a topology document; without one the topology is empty.
   * A document of the wrong shape is logged and taken up to its first fault;
   * a value without a JSON text (a circular object) throws the runtime's TypeError.
   */
  constructor(document?: TopologyModule[]);
  /** The document of every module reachable from the relay, in depth-first order. Throws an Error when there is no module 0. */
  getTop(): TopologyModule[];
  /**
   * Occupancy matrix: rows of ascending y and columns of ascending x of the
   * tile centres, 1 where a tile stands. Throws an Error when there is no module 0.
   * @param angle the installation's rotation in degrees (quarter turns count).
   */
  getMatrix(angle: number): number[][];
}
