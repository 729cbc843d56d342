/// <reference types="node" />
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
  /**
   * Hands every line from now on to `callback` on the script thread, in
   * order, in batches; lines the script falls more than 4096 behind on are
   * dropped and counted in `dropped`. The threads that log never wait.
   * `null` stops. One tap per process: a new one replaces the last.
   */
  static tap(callback: ((lines: LogLine[], dropped: number) => void) | null): void;
  /** Switches the standard error output; a tap still gets every line. */
  static setConsole(on: boolean): void;
}

/** One log line as a program receives it. */
export interface LogLine {
  level: 'INFO' | 'ERROR';
  /** Milliseconds since the epoch, on the system clock. */
  time: number;
  /** The source name ("tcpip", "sdSender", a script Log's name...). */
  source: string;
  message: string;
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
  /**
   * The type tags of the images in the package, in ascending type id
   * ("relay", "oldrelay", "relayrpi", "delta", "quadra", "quadrav2", "varna"),
   * so a script can check a package against a topology before uploading it.
   */
  getTypes(): string[];
}

/**
 * Completion of an upload or a file transfer: `failed` is false on success.
 */
export type TransferCallback = (failed: boolean, reason?: string) => void;

/**
 * Progress of an upload (packets) or a file transfer (bytes): called on the
 * script thread at most every 100 ms, and once more with the final count.
 */
export type TransferProgress = (sent: number, total: number) => void;

/** Uploads application packages to the tiles of an installation. */
export class Loader {
  /** @param com the link to upload over; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Copies the package, sends its RAM loader stream (128-byte packets, 5 ms
   * apart) and waits up to 25 s for the relay's state word to change. The
   * callback gets false when the tiles took the package, true when the link
   * was or went down, the relay closed it, or the state word stayed. Throws a
   * TypeError when `app` is not an LcApp or a callback is not a function.
   */
  send(app: LcApp | promises.LcApp, callback?: TransferCallback, progress?: TransferProgress): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/** Copies files to the relay's SD card. */
export class SdSender {
  /** @param com the link to send over; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Sends the file at `path` under its base name. The callback gets true when
   * the file cannot be read, its size cannot be known (a kernel file that
   * reads past its reported size), its name does not fit (122 bytes), the
   * relay fails, the link ends, or an answer does not come in time.
   */
  send(path: string, callback?: TransferCallback, progress?: TransferProgress): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/** Sends files to the simulator. */
export class SimLoader {
  /** @param com the link to send over; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Sends the file at `path` named "file" + the UTC start time in the
   * `asctime` layout, line feed included (29 bytes). Failures as for SdSender.
   */
  send(path: string, callback?: TransferCallback, progress?: TransferProgress): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
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
   * An array of more than 65536 modules (more than 16-bit module ids name), or
   * a module with more than 64 neighbours, throws a RangeError before anything is read.
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
  /**
   * Asks the relay behind `com` for its installation, in the background.
   * The relay's records are read with module 0 as `relayTag` and every other
   * module as `tileTag` (an unknown tag gives type 255, without channels).
   * On success the topology is replaced whole when the callback runs; until
   * then, and on failure, it stays as it was. Fails after 2 s without any
   * frame, after 10 s in all, or when the link ends.
   */
  update(relayTag: string, tileTag: string, com: Com | promises.Com, callback: FailureCallback): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/**
 * Called once when a command or an update ends: `failed` is true when it did
 * not succeed, and `reason` then says why where the module knows (the first
 * error it logged for the operation, else its last line).
 */
export type FailureCallback = (failed: boolean, reason?: string) => void;

/** Switches the application the tiles run. */
export class Changer {
  /** Throws a TypeError unless `com` is a `Com`. */
  constructor(com: Com | promises.Com);
  /**
   * Waits (up to 5 s) for the relay to be ready, sends the change, watches up
   * to 5 s for the relay's state word to move, then waits 1 s more. Only the
   * wait for a ready relay and the send can fail; an application above 255
   * fails at once without sending anything. A value that is not a finite
   * whole number throws a TypeError, one below 0 or above 2^32 - 1 a
   * RangeError; nothing is sent for either.
   */
  changeTo(application: number, callback: FailureCallback): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/** Sets the luminosity of the tiles' LEDs. */
export class Luminosity {
  /** Throws a TypeError unless `com` is a `Com`. */
  constructor(com: Com | promises.Com);
  /**
   * Waits (up to 5 s) for the relay to be ready, sends the level (a whole
   * number of 256 or more, 2^53 included, is sent as 255), then waits 1 s. A
   * value that is not a finite whole number throws a TypeError, a negative one
   * a RangeError; nothing is sent for either.
   */
  changeTo(level: number, callback: FailureCallback): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/** Resets the relay. */
export class Reset {
  /** Throws a TypeError unless `com` is a `Com`. */
  constructor(com: Com | promises.Com);
  /** A standard reset; succeeds when the relay reports state 0 or closes the link within 5 s. */
  reset(callback: FailureCallback): void;
  /** A reset to the fallback application; succeeds like `reset`. */
  fallback(callback: FailureCallback): void;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/** A relay link as a script receives it from relay discovery. */
export interface DriverDescription {
  /** Only "TCPIP" links exist; any other text makes `start` return false. */
  type: 'TCPIP' | string;
  /** The relay's dotted-quad IPv4 address. */
  ip: string;
  /** The relay's TCP port: a whole number from 0 to 65535 (TypeError for NaN, infinities and fractions, RangeError outside). */
  port: number;
  /** The relay's name; not read by `Com`. */
  name?: string;
}

/**
 * Codes a `Com` reports: 0 the first status frame of the run arrived (the
 * link is up), 2 the relay's state word changed, 1 the run ended (connect
 * failed, `stop`, the relay closed, 3 s of silence, or a close frame followed
 * by the end of the connection). 1 comes exactly once, last. A run of 2 that
 * the script has not taken yet arrives as one: read the state with `getState`.
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
  start(
    description: DriverDescription,
    callback: (unused: undefined, code: ComCode, reason?: string) => void,
  ): boolean;
  /** True while the link is up. */
  ready(): boolean;
  /** Ends the link; true when it was up (code 1 follows), false otherwise. */
  stop(): boolean;
  /** The version in the latest status frame; 0 before any, or when the frame was too short to carry one. */
  getVersion(): number;
  /** The state word of the latest status frame (non-zero: ready for a command); 0 before any. */
  getState(): number;
}

/** How the player shows images: full colour, one bit per colour channel, or one bit per LED. Any other text is taken as "rgb". */
export type PlayerMode = 'video' | 'rgb' | 'mask' | string;

/** The screen and sensor grid of an installation, as `Player.getScreen` reports them. */
export interface PlayerScreen {
  /** Image width in pixels: images are `width` pixels of 4 bytes per row. */
  width: number;
  /** Image height in rows. */
  height: number;
  /** Rows of the sensor grid (distinct sensor y positions, ascending). */
  rows: number;
  /** Columns of the sensor grid; the cell at row r, column c is `getSensors` entry r * columns + c. */
  columns: number;
  /** Pixel frames one picture takes at the link's current packet size. */
  frames: number;
}

/** Counters of the current (or last) playback; they restart at each `start`. */
export interface PlayerCounters {
  /** Pixel frames sent to the relay. */
  framesSent: number;
  /** Frame slots left out (one in every 101). */
  slotsSkipped: number;
  /** Images overwritten by the next before they were handed to the sender. */
  imagesDropped: number;
  /** Status frames answered. */
  statusEvents: number;
  /** Pictures written by `addImage` in this playback; the last is picture number `picturesAdded`. */
  picturesAdded: number;
  /** The number of the picture the sender last took (it now goes out whole); 0 before the first. */
  picturesTaken: number;
  /** Complete sweeps of sensor records (every module, in order) in this playback. */
  sensorSweeps: number;
}

/** The options of `Player.start`. */
export interface PlaybackOptions {
  /** One exponent for all channels or [red, green, blue], 0.1 to 10; 1 (no change) by default. */
  gamma?: number | [number, number, number];
  /** White balance: one factor or [red, green, blue], 0 to 16; 1 by default. */
  gains?: number | [number, number, number];
  /**
   * Called on the script thread when the sender took a picture or a sweep
   * of sensor records completed, with the current counts (calls coalesce).
   */
  onProgress?: (picturesTaken: number, sensorSweeps: number) => void;
}

/**
 * Streams images to the tiles of one link, paced by the relay's status
 * frames, and reads the tiles' sensors.
 */
export class Player {
  /** @param com the link to play on; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Sets a playback up at once and runs it in the background until `stop`,
   * the end of the link or 2 s without a frame from the relay; then
   * `callback` runs once, with undefined. Throws a TypeError for arguments
   * of the wrong type, and an Error while a playback runs (stop it and wait
   * for its callback first), while another `Player` plays on the same `Com`,
   * or when the topology has no module 0, or no
   * module 1 while it has two modules or more.
   * @param angle the installation's rotation in degrees (quarter turns count)
   * @param mode "video", "rgb" or "mask", compared exactly; other texts give "rgb"
   * @param sensors whether to read the sensor records the relay sends
   * @param options colour correction, applied through tables built once per
   * playback (out = round(255 x gain x (in / 255) ^ gamma)), and the progress
   * function; a value out of range throws a RangeError
   */
  start(angle: number, topology: Topology | promises.Topology, mode: PlayerMode, sensors: boolean,
    callback: (unused: undefined, reason?: string) => void, options?: PlaybackOptions): void;
  /** Ends the running playback at its next event; does nothing while none runs. */
  stop(): void;
  /**
   * Writes an image (4-byte pixels, `getScreen().width` per row) into the
   * next picture. Pixels past the end of a shorter image keep their LEDs'
   * values. Ignored before the first `start`. Takes a Buffer, Uint8Array or
   * Uint8ClampedArray (over a SharedArrayBuffer too); any other value throws
   * a TypeError naming what it got.
   * @param format "BGR" for blue-first pixels; anything else, or nothing, is "RGB"
   * @returns the picture's number in this playback (see `onProgress`), 0 when ignored
   */
  addImage(image: Uint8Array | Uint8ClampedArray, format?: 'RGB' | 'BGR' | string): number;
  /**
   * The crop form: writes the screen-sized rectangle whose top left is at
   * pixel (`crop.x`, `crop.y`) of a larger picture whose rows are
   * `crop.stride` bytes apart, read in place (nothing is copied first).
   * Throws a RangeError when the rectangle reaches past a row or past the
   * picture, a TypeError for values that are not whole numbers.
   */
  addImage(image: Uint8Array | Uint8ClampedArray, format: 'RGB' | 'BGR' | string | undefined, crop: PlayerCrop): number;
  /** Copies the latest sensor values into `values`, as many as both hold. */
  getSensors(values: Uint16Array): void;
  /**
   * A copy of the pixel frames (payloads, `frames` of `getScreen` of them,
   * each of the link's packet size) of the picture being sent; undefined
   * before the first `start`.
   */
  getFrames(): Buffer | undefined;
  /** The screen and sensor grid of `topology` at `angle` (same errors as `start`). */
  getScreen(angle: number, topology: Topology | promises.Topology, mode: PlayerMode): PlayerScreen;
  /** The counters of the current or last playback. */
  getCounters(): PlayerCounters;
}

/** Where a player's screen lies in a larger picture (see `Player.addImage`). */
export interface PlayerCrop {
  /** Pixels from the picture's left edge (default 0). */
  x?: number;
  /** Rows from the picture's top (default 0). */
  y?: number;
  /** Bytes from one row of the picture to the next: at least 4 x (x + the screen's width). */
  stride: number;
}

/** The relay types a search can be filtered by; any other tag keeps every relay found. */
export type RelayTag = 'relay' | 'oldrelay' | 'relayrpi' | 'delta' | 'quadra' | 'quadrav2' | 'varna' | string;

/** A relay found by discovery: a description `Com.start` takes as it is. */
export interface FoundRelay extends DriverDescription {
  type: 'TCPIP';
  /** The relay's address; "127.0.0.1" for a relay on this machine. */
  ip: string;
  /** The name the relay announced. */
  name: string;
  /** The relay's TCP port, 1 to 65535. */
  port: number;
}

/**
 * Finds the relays on the local IPv4 networks: one UDP greeting to every
 * network's broadcast address and to 127.0.0.1, then the replies until a
 * second passes without one (at most 10 s in all).
 */
export class RelayFinder {
  constructor();
  /**
   * Starts one search on a thread of its own and returns true. The callback
   * gets undefined and the relays in order of arrival, one per address and
   * port: "relay" and "oldrelay" drop the SPI proxy ("proxySPI"), "relayrpi"
   * keeps only it, a tile tag keeps none, any other tag keeps all. No relay
   * gives an empty array; a search never fails. Wrong argument types throw
   * a TypeError.
   */
  start(tag: RelayTag, callback: (unused: undefined, relays: FoundRelay[]) => void): boolean;
  /** Ends this object's running operations soon (their callbacks report failure); the link stays up. */
  cancel(): void;
}

/**
 * Messages to and from a custom application running on the tiles. Each
 * status frame of the relay carries at most one queued broadcast and one
 * queued data message out; every data frame the relay sends back arrives as
 * a "concast" call.
 */
export class CustomApp {
  /** @param com the link to use; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Starts a run: messages offered before it were refused, those queued
   * after it returns are sent. `callback` gets ("concast", bytes) for each data
   * frame (a Buffer of at most 256 bytes, its own slice of its batch's memory) and "stop" once when the run ends: after
   * `stop`, when the link ends, after 2 s without any frame from the relay,
   * or when a frame cannot be sent. Returns false, without calling back,
   * while a run has not reported "stop" yet.
   */
  start(
    callback: (unused: undefined, kind: 'concast' | 'stop', bytes?: Uint8Array) => void,
  ): boolean;
  /** Ends a running run (its "stop" follows); does nothing otherwise. */
  stop(): void;
  /**
   * Queues a broadcast message (frame type 0); only its first 2048 bytes are
   * kept. Returns false, and queues nothing, while no run is active (since
   * `start` returned until "stop") or when 4096 broadcasts already wait: one
   * leaves per status frame of the relay.
   */
  sendBroadcast(bytes: Uint8Array): boolean;
  /**
   * Queues a data message (frame type 3); only its first 1024 bytes are
   * kept. False, as for `sendBroadcast`, while no run is active or when 4096
   * data messages already wait.
   */
  sendData(bytes: Uint8Array): boolean;
  /**
   * The current (or last) run's records: `concasts` delivered, and
   * `concastsDropped`, the oldest of those left out while more than 8 MiB of
   * records (each its bytes plus 4) waited for a script that was behind.
   * Nothing is delivered after `stop`.
   */
  getCounters(): CustomAppCounters;
}

export interface CustomAppCounters {
  concasts: number;
  concastsDropped: number;
}

/** Where a `ComBridge` listens. */
export interface ComBridgeOptions {
  /**
   * Dotted-quad IPv4 address to listen on; "127.0.0.1" by default. Any other
   * address lets every host that reaches it drive the relay, firmware
   * uploads included: the bridge checks nothing.
   */
  host?: string;
  /** TCP port, 54433 by default; 0 takes a free port (see `getPort`). */
  port?: number;
}

/**
 * Lends the link of a `Com` to one local TCP client at a time: the client
 * receives every frame the relay sends, byte for byte, and the whole frames
 * it sends go to the relay while the link is up (they are dropped while it
 * is down).
 */
export class ComBridge {
  /** @param com the link to share; anything else throws a TypeError. */
  constructor(com: Com | promises.Com);
  /**
   * Listens in the background. `callback` gets (undefined, 0, port) once the
   * port is bound and (undefined, 1) once the bridge has stopped and freed
   * it; a port that cannot be bound gives 1 alone, with a log line. Returns
   * false, without calling back, while a run has not reported 1 yet. Wrong
   * argument types throw a TypeError, a port outside 0..65535 a RangeError.
   */
  start(
    callback: (unused: undefined, code: 0 | 1, port?: number) => void,
    options?: ComBridgeOptions,
  ): boolean;
  /** Ends the run at once, client included; true when it was running (code 1 follows). */
  stop(): boolean;
  /** The port bound by the running bridge; 0 before it is bound and after `stop`. */
  getPort(): number;
}

/**
 * The same work as promises, events and async iterators. Each class derives
 * from its native class: the methods without a callback are the native
 * ones, and those that take a one-shot callback return a promise instead,
 * which rejects with an `LcError` where the callback would report a failure.
 * Every waiting operation takes `{ signal }`: an abort ends it within 100 ms
 * and rejects with ERR_LC_ABORTED; the link stays up. An abort cancels
 * every operation of that object still running.
 */
export namespace promises {
  /** Why a promise was rejected. */
  type LcErrorCode =
    /** The native call refused to start (a run still going, a wrong type). */
    | 'ERR_LC_REFUSED'
    /** The operation ran and reported failure. */
    | 'ERR_LC_FAILED'
    /** The link, loop or bridge ended before it was up. */
    | 'ERR_LC_ENDED'
    /** The caller's AbortSignal fired first. */
    | 'ERR_LC_ABORTED'
    /** This build of the module lacks the class. */
    | 'ERR_LC_MISSING';

  class LcError extends Error {
    readonly code: LcErrorCode;
    /** What the module logged about the failure, when it did; `message` contains it. */
    readonly reason?: string;
  }

  /** The objects are their own native objects: the value as its native type. */
  function toNative<T>(value: { readonly native: T } | T): T;

  interface Signalled {
    signal?: AbortSignal;
  }

  /** Options of a transfer: `onProgress(sent, total)` on the script thread, the final count last. */
  interface TransferOptions extends Signalled {
    onProgress?: TransferProgress;
  }

  /** A native class less the methods its promise form replaces. */
  type Without<C extends abstract new (...args: any) => any, K extends keyof InstanceType<C>> =
    new (...args: ConstructorParameters<C>) => Omit<InstanceType<C>, K>;
  type EmittingWithout<C extends abstract new (...args: any) => any, K extends keyof InstanceType<C>> =
    new (...args: ConstructorParameters<C>) => Omit<InstanceType<C>, K> & EventEmitter;
  type Native = typeof import('./index');

  /** A relay's address: a description (ip dotted or a host name) or "host:port". */
  type Address = DriverDescription | { ip: string; port: number; name?: string } | string;

  const ComBase: EmittingWithout<Native['Com'], 'start' | 'stop'>;
  /** The link to one relay: emits 'code' (each code), 'up' (0), 'state' (2) and 'end' (1, last). */
  class Com extends ComBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Com;
    /**
     * Connects; resolves with this object at the relay's first status frame,
     * rejects when the run ends first (ERR_LC_ENDED; a peer that sends no
     * status is told apart), when `start` refuses (ERR_LC_REFUSED) or when
     * `signal` fires first (ERR_LC_ABORTED, and the run is stopped).
     */
    start(address: Address, options?: Signalled): Promise<this>;
    /** Settles when the current run has ended; at once when none runs. */
    readonly ended: Promise<void>;
    /** Ends the link; resolves once it has ended. */
    stop(): Promise<void>;
    /** The codes from the call on, 1 last; leaving a `for await` unsubscribes. */
    codes(): AsyncIterableIterator<ComCode>;
    [Symbol.asyncIterator](): AsyncIterableIterator<ComCode>;
    [Symbol.asyncDispose](): Promise<void>;
    on(event: 'code', listener: (code: ComCode) => void): this;
    on(event: 'up' | 'state' | 'end', listener: () => void): this;
  }

  /** The module's log lines as events: the package's `logs`. */
  const logs: typeof import('./index').logs;

  /** Connects a new link. */
  function connect(address: Address, options?: Signalled): Promise<Com>;

  const TopologyBase: Without<Native['Topology'], 'update'>;
  class Topology extends TopologyBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Topology;
    /** Resolves once the relay's installation replaced this one; rejects with ERR_LC_FAILED. */
    update(relayTag: string, tileTag: string, com: Com | import('./index').Com, options?: Signalled): Promise<void>;
    [Symbol.dispose](): void;
  }

  const LcAppBase: Native['LcApp'];
  class LcApp extends LcAppBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').LcApp;
  }

  const PlayerBase: Without<Native['Player'], 'start' | 'stop'>;
  class Player extends PlayerBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Player;
    /**
     * Starts a playback; resolves when it has ended (`stop`, the end of the
     * link, or 2 s without a frame). Rejects where the native `start` throws.
     */
    start(angle: number, topology: Topology | import('./index').Topology, mode: PlayerMode, sensors: boolean,
      options?: Signalled & { gamma?: number | [number, number, number]; gains?: number | [number, number, number] }): Promise<void>;
    /** Stops the playback at the end of a `using` block. */
    [Symbol.dispose](): void;
    /** Ends the playback; resolves once it has ended. */
    stop(): Promise<void>;
    /** Resolves when the current playback has ended (at once when none runs). */
    readonly ended: Promise<void>;
    /** The screen of the running playback; null while none runs. */
    readonly screen: PlayerScreen | null;
    /**
     * Hands a picture to the sender; resolves with its number once the
     * sender took it (it goes out whole), so awaited pushes show every
     * picture in order. Rejects (code ERR_LC_ENDED) when no playback runs or
     * it ends first, ERR_LC_ABORTED when `signal` fires.
     */
    push(image: Uint8Array | Uint8ClampedArray, format?: 'RGB' | 'BGR' | string, options?: { signal?: AbortSignal; crop?: PlayerCrop }): Promise<number>;
    /**
     * Shows a file (video, animation, picture) or an (async) iterable of
     * `{ image, duration }` (ms) on the running playback, at the source's
     * pace or the relay's, whichever is slower; resolves once the source
     * ended (with `loop`, once `signal` fired).
     */
    play(source: string | Iterable<PlayItem> | AsyncIterable<PlayItem>, options?: {
      fit?: 'contain' | 'cover' | 'stretch'; loop?: boolean; signal?: AbortSignal; fps?: number; seconds?: number;
      onPicture?: (item: PlayItem, stats: { shown: number; dropped: number }) => void;
    }): Promise<{ shown: number; dropped: number }>;
    /** 'taken' (picture number), 'sensors' ({ values, rows, columns, sweep }) after each sweep, 'end'. */
    on(event: 'taken', listener: (picture: number) => void): this;
    on(event: 'sensors', listener: (grid: { values: Uint16Array; rows: number; columns: number; sweep: number }) => void): this;
    on(event: 'end', listener: () => void): this;
    off(event: string, listener: (...args: any[]) => void): this;
  }

  /** One relay of a show, as a show file gives it (defaults filled in). */
  interface ShowRelay {
    name: string;
    host: string;
    port: number;
    tileType: string;
    relayType?: string;
    angle?: number;
    /** Canvas pixels of its screen's top left. */
    at: [number, number];
    /** A topology document's file, read instead of asking the relay. */
    topology?: string | null;
    /** Milliseconds its pictures are handed over after the others'. */
    delayMs?: number;
  }

  interface ShowOptions {
    mode?: PlayerMode;
    gamma?: number | [number, number, number];
    gains?: [number, number, number];
    /** Take a relay that left back when it answers again (tried every 0.5 s, slowing to every 5 s). */
    rejoin?: boolean;
  }

  /** The canvas: the screens' bounding box; x, y are its top left in show coordinates. */
  interface ShowCanvas {
    width: number;
    height: number;
    x: number;
    y: number;
  }

  interface ShowCounters {
    /** Pictures pushed. */
    pictures: number;
    /** Relays playing now. */
    live: number;
    /**
     * For each picture, the spread between the moments the relays took it
     * (each less its delayMs), over the latest 65536 pictures; null before
     * two relays took one.
     */
    skewMs: { p50: number | null; p99: number | null; max: number | null; pictures: number };
    relays: Array<{
      name: string;
      state: 'idle' | 'opening' | 'live' | 'left' | 'stopped';
      /** Why it last left, while it is out. */
      reason: string | null;
      delayMs: number;
      pushed: number;
      taken: number;
      left: number;
      rejoined: number;
      player: PlayerCounters | null;
    }>;
  }

  /**
   * Several relays playing one canvas: each relay's screen sits at its `at`;
   * `push` hands every relay its rectangle (read in place) and resolves when
   * every relay still playing took it. Emits 'leave' ({ name, reason }) when
   * a relay fails or goes away, 'rejoin' ({ name }) when it is back.
   */
  class Show extends EventEmitter {
    /** `show`: a show file's name, its parsed document, or the relays `readShow` gives. */
    constructor(show: string | { relays: object[] } | ShowRelay[], options?: ShowOptions);
    readonly relays: ReadonlyArray<{ readonly name: string; readonly state: string }>;
    /** Null until `start` resolved. */
    readonly canvas: ShowCanvas | null;
    /**
     * Opens every relay and starts every player; resolves with the canvas
     * once each plays or has left; rejects (ERR_LC_ENDED) when none can play.
     * `signal` bounds the opening and later stops the show.
     */
    start(options?: Signalled): Promise<ShowCanvas>;
    /** Hands over a canvas picture; resolves with its number once every relay playing took its part. */
    push(picture: Uint8Array | Uint8ClampedArray, format?: 'RGB' | 'BGR' | string, options?: Signalled): Promise<number>;
    /** Shows a source at the canvas size, at its pace or the slowest relay's. */
    play(source: string | Iterable<PlayItem> | AsyncIterable<PlayItem>, options?: {
      fit?: 'contain' | 'cover' | 'stretch'; seconds?: number; signal?: AbortSignal;
      onPicture?: (item: PlayItem, shown: number) => void;
    }): Promise<{ shown: number }>;
    getCounters(): ShowCounters;
    /** Ends every playback and link; resolves once they ended. */
    stop(): Promise<void>;
    [Symbol.asyncDispose](): Promise<void>;
    on(event: 'leave', listener: (relay: { name: string; reason: string }) => void): this;
    on(event: 'rejoin', listener: (relay: { name: string }) => void): this;
  }

  /** One picture of a source given to `Player.play`. */
  interface PlayItem {
    image: Uint8Array | Uint8ClampedArray;
    /** How long it shows, in milliseconds. */
    duration?: number;
    /** Its time from the source's start, in milliseconds, instead of following the one before. */
    at?: number;
    format?: 'RGB' | 'BGR' | string;
  }

  const RelayFinderBase: Without<Native['RelayFinder'], 'start'>;
  class RelayFinder extends RelayFinderBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').RelayFinder;
    /** One search; resolves with the relays found, none included. */
    start(tag?: RelayTag, options?: Signalled): Promise<FoundRelay[]>;
    [Symbol.dispose](): void;
  }

  /** Runs one search for relays of type `tag` ("relay" when absent). */
  function findRelays(tag?: RelayTag, options?: Signalled): Promise<FoundRelay[]>;

  const CustomAppBase: EmittingWithout<Native['CustomApp'], 'start' | 'stop'>;
  /** The custom application channel: emits 'concast' (bytes) and 'stop'. */
  class CustomApp extends CustomAppBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').CustomApp;
    /** Starts a run; resolves when it has ended. Rejects with ERR_LC_REFUSED while one runs. */
    start(options?: Signalled): Promise<void>;
    /** Settles when the current run has ended; at once when none runs. */
    readonly stopped: Promise<void>;
    /** Ends the run; resolves once it has ended. */
    stop(): Promise<void>;
    /** The data frames' bytes from the call on, until the run ends. */
    messages(): AsyncIterableIterator<Buffer>;
    [Symbol.asyncIterator](): AsyncIterableIterator<Buffer>;
    [Symbol.asyncDispose](): Promise<void>;
    on(event: 'concast', listener: (bytes: Buffer) => void): this;
    on(event: 'stop', listener: () => void): this;
  }

  const ComBridgeBase: EmittingWithout<Native['ComBridge'], 'start' | 'stop'>;
  /** The bridge: emits 'listening' (port) and 'end'. */
  class ComBridge extends ComBridgeBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').ComBridge;
    /** Resolves with the port once bound; rejects when the bridge ends first, or refuses. */
    start(options?: ComBridgeOptions & Signalled): Promise<number>;
    readonly ended: Promise<void>;
    /** Ends the bridge; resolves once its port is free. */
    stop(): Promise<void>;
    [Symbol.asyncDispose](): Promise<void>;
    on(event: 'listening', listener: (port: number) => void): this;
    on(event: 'end', listener: () => void): this;
  }

  /** Resolves when the command succeeded; rejects with ERR_LC_FAILED. */
  const ChangerBase: Without<Native['Changer'], 'changeTo'>;
  class Changer extends ChangerBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Changer;
    changeTo(application: number, options?: Signalled): Promise<void>;
    [Symbol.dispose](): void;
  }

  const LuminosityBase: Without<Native['Luminosity'], 'changeTo'>;
  class Luminosity extends LuminosityBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Luminosity;
    changeTo(level: number, options?: Signalled): Promise<void>;
    [Symbol.dispose](): void;
  }

  const ResetBase: Without<Native['Reset'], 'reset' | 'fallback'>;
  class Reset extends ResetBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Reset;
    reset(options?: Signalled): Promise<void>;
    fallback(options?: Signalled): Promise<void>;
    [Symbol.dispose](): void;
  }

  const LoaderBase: Without<Native['Loader'], 'send'>;
  class Loader extends LoaderBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').Loader;
    /** Resolves once the tiles took the package; progress counts packets. */
    send(app: LcApp | import('./index').LcApp, options?: TransferOptions): Promise<void>;
    [Symbol.dispose](): void;
  }

  const SdSenderBase: Without<Native['SdSender'], 'send'>;
  class SdSender extends SdSenderBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').SdSender;
    /** Resolves once the relay stored the file; progress counts bytes. */
    send(path: string, options?: TransferOptions): Promise<void>;
    [Symbol.dispose](): void;
  }

  const SimLoaderBase: Without<Native['SimLoader'], 'send'>;
  class SimLoader extends SimLoaderBase {
    /** This object, as its native type (the methods replaced here also take the native callback form). */
    readonly native: import('./index').SimLoader;
    send(path: string, options?: TransferOptions): Promise<void>;
    [Symbol.dispose](): void;
  }
}

import { EventEmitter } from 'events';

/**
 * The module's log lines for a program: 'line' once per line, on the script
 * thread, in order; 'dropped' with a count when the script fell more than
 * 4096 lines behind. `setConsole(false)` stops the standard error output
 * while the events go on.
 */
/** The package's `promises.Show`, also here (not an enumerable export). */
export const Show: typeof promises.Show;

export const logs: EventEmitter & {
  setConsole(on: boolean): void;
  on(event: 'line', listener: (line: LogLine) => void): EventEmitter;
  on(event: 'dropped', listener: (count: number) => void): EventEmitter;
};
