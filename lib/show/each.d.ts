import type { promises } from '../../index';

type Com = promises.Com;
type Topology = promises.Topology;

/** One relay of a show, as readShow gives it. */
export interface ShowRelay {
  name: string;
  host: string;
  port: number;
  tileType: 'delta' | 'quadra' | 'quadrav2' | 'varna';
  relayType: 'relay' | 'oldrelay' | 'relayrpi';
  angle: number;
  at: [number, number];
  /** Absolute path of the saved topology document, or null. */
  topology: string | null;
  delayMs: number;
}

export type RelayResult<T> =
  | { name: string; relay: ShowRelay; ok: true; output: T }
  | { name: string; relay: ShowRelay; ok: false; reason: string };

export interface EachRelayOptions<T> {
  /** Ends every link and action. */
  signal?: AbortSignal;
  /** 'saved': the relay's topology file, else its answer; 'live': always its answer. */
  topology?: 'saved' | 'live';
  /** Bound of each connect (default 12000 ms). */
  connectMs?: number;
  /** Called as each relay's result is known. */
  onResult?: (result: RelayResult<T>) => void;
}

/** Runs `action` on every relay at once, each on its own link; one result per relay, in order. */
export function eachRelay<T>(
  relays: ShowRelay[],
  action: (context: { com: Com; relay: ShowRelay; topology: Topology | null; signal?: AbortSignal }) => T | Promise<T>,
  options?: EachRelayOptions<T>,
): Promise<RelayResult<T>[]>;

export function liveTopology(com: Com, relay: Pick<ShowRelay, 'relayType' | 'tileType'>, signal?: AbortSignal): Promise<Topology>;
export function topologyOf(com: Com, relay: ShowRelay, signal?: AbortSignal): Promise<Topology>;
export function savedDocument(relay: Pick<ShowRelay, 'topology'>): object[] | null;
export function reasonOf(err: unknown): string;
