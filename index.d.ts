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
