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

/** A relay link as a script receives it from relay discovery. */
export interface DriverDescription {
  /** Only "TCPIP" links exist; any other text makes `start` return false. */
  type: 'TCPIP' | string;
  /** The relay's dotted-quad IPv4 address. */
  ip: string;
  /** The relay's TCP port (its low 16 bits are used). */
  port: number;
  /** The relay's name; not read by `Com`. */
  name?: string;
}

/**
 * Codes a `Com` reports: 0 the first status frame of the run arrived (the
 * link is up), 2 the relay's state word changed, 1 the run ended (connect
 * failed, `stop`, the relay closed, 3 s of silence, or a close frame followed
 * by the end of the connection). 1 comes exactly once, last.
 */
export type ComCode = 0 | 1 | 2;

/** The link to one relay; every class that talks to the relay is built on one. */
export class Com {
  constructor();
  /**
   * Connects in the background and reports through `callback`. Returns false,
   * without calling back, when the type is not "TCPIP" or when the previous
   * run has not reported code 1 yet. Wrong argument types throw a TypeError.
   */
  start(description: DriverDescription, callback: (unused: undefined, code: ComCode) => void): boolean;
  /** True while the link is up. */
  ready(): boolean;
  /** Ends the link; true when it was up (code 1 follows), false otherwise. */
  stop(): boolean;
  /** The version in the latest status frame; 0 before any, or when the frame was too short to carry one. */
  getVersion(): number;
}
