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
