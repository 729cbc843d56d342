export interface TopologyDifferences {
  same: boolean;
  /** Ids in the saved document that the installation lacks. */
  missing: number[];
  /** Ids in the installation that the saved document lacks. */
  extra: number[];
  /** Modules in both, of another shape or linked otherwise. */
  different: { id: number; changes: string[] }[];
}

/** Differences of `live` from `saved`, both topology documents as getTop gives them. */
export function compareTopology(saved: object[], live: object[], tagOf?: (type: number) => string): TopologyDifferences;
/** One line per module that differs. */
export function describeDifferences(differences: TopologyDifferences): string[];
