// Type declarations of quillan.node, the script binding of the Quillan analyzer host:
//   const { Quillan } = require('<build folder>/quillan.node');

/** A result code as the command-line tool prints it: '0x' and eight lowercase hexadecimal digits. */
export type ResultCodeText = `0x${string}`;

/**
 * What the binding throws and rejects with, always: an Error (a TypeError for an argument it does not take, a path
 * with a NUL byte among them) carrying the system's result code. Codes of the binding's own: 0xa0000004 for an
 * argument it does not take, 0xa0000001 for a failure without a code of its own (the module loader's).
 */
export interface QuillanError extends Error {
  /** The system's message, or what `code` means when the failure carried none; never empty. */
  message: string;
  /** The result code as text, '0xa0000003'. */
  code: ResultCodeText;
  /** The same code as an unsigned 32-bit number (0xa0000003, 2684354563). */
  result: number;
  /** The script error type (14: a missing or null GUID) of an error raised by a script class. */
  type?: number;
}

/** An analyzer's parameter: analyzers read text, whole numbers within int, other numbers and booleans. */
export type AnalyzerParameter = string | number | boolean;

/** An analyzer's result as the analyzer describes it. */
export interface ResultValue {
  /** What the result is: 'loudness'. */
  name: string;
  /** The result's values: numbers (null where one could not be measured), text, booleans, arrays, objects. */
  fields: { [field: string]: unknown };
  /** The unit of every number in `fields`, keyed by its path ('integrated': 'LUFS', 'cuts.seconds': 's'). */
  units: { [path: string]: string };
}

export interface DoneOutcome {
  /** The analyzer's GUID, lowercase. */
  analyzer: string;
  status: 'done';
  /** One line: '-23.02 LUFS, range 4.20 LU, ...'; only when the job ended with a result. */
  summary?: string;
  /** The result; an analyzer that does not describe itself gives {name, fields: {size}, units: {size: 'bytes'}}. */
  value?: ResultValue;
}

export interface FailedOutcome {
  analyzer: string;
  status: 'failed';
  code: ResultCodeText;
  result: number;
  message?: string;
}

export type AnalysisOutcome = DoneOutcome | FailedOutcome;

export interface AnalyzeFileOptions {
  /** Analyzer names ('loudness') or GUIDs, as text or Guid objects; repeats run once. Default: every media analyzer registered. */
  analyzers?: Array<string | Quillan.Guid>;
  /** The parameter of every analyzer that `parameters` does not name. */
  parameter?: AnalyzerParameter | null;
  /** Parameters per analyzer, keyed by name or GUID: { peaks: '512' }. */
  parameters?: { [analyzer: string]: AnalyzerParameter };
  /**
   * Called on the script's thread as jobs progress, every few tens of milliseconds at most: for each analyzer the
   * fractions rise, a job done ends at 1, and every call comes before the promise settles.
   */
  onProgress?: (progress: AnalysisProgress) => void;
  /** Aborting it stops the jobs; the promise then rejects with a QuillanError named 'AbortError' (code 0xa00f0007). */
  signal?: AbortSignal;
}

export interface AnalysisProgress {
  /** The analyzer's GUID, lowercase, as in the outcomes. */
  analyzer: string;
  /** How much of its job is done, 0 to 1. */
  fraction: number;
}

export declare namespace Quillan {
  /** A 16-byte identifier, made from its text form (any case, braces optional). */
  class Guid {
    constructor(text: string);
    /** Lowercase with hyphens and no braces. */
    toString(): string;
    equals(other: unknown): boolean;
    hashCode(): bigint;
  }

  /** The application's analyzer host. */
  class AnalyzerHost {
    /** An unbound object that stands for no host; use getDefault. */
    constructor();
    static getDefault(): AnalyzerHost;
    /** The number of jobs of that analyzer running now. Rejects with a QuillanError when the host cannot tell. */
    countJobsForAnalyzer(analyzerGuid: Guid): Promise<number>;
    /**
     * Resolves with true once every job of that analyzer running now has ended; rejects with a QuillanError of a
     * failed job's message and code.
     */
    waitForAnalyzerCompletion(analyzerGuid: Guid): Promise<boolean>;
    equals(other: unknown): boolean;
    hashCode(): bigint;
  }

  /**
   * Loads an analyzer module (relative paths from the working directory) and calls its registration entry point.
   * Throws a QuillanError with the loader's or the module's message when it cannot, and a TypeError for a path with a
   * NUL byte.
   */
  function loadAnalyzerModule(path: string): void;
  /**
   * Runs analyzers on a file (a path, or a Buffer of the bytes of a name that is not valid UTF-8). Resolves with one
   * outcome per analyzer, in the order asked for. Rejects with a QuillanError when the file cannot be read, or when
   * no analyzer is registered or applies and none were named. Throws a TypeError (a QuillanError too) for malformed
   * options or a path with a NUL byte, and a QuillanError listing the known names for an unknown analyzer name.
   */
  function analyzeFile(path: string | Uint8Array, options?: AnalyzeFileOptions | null): Promise<AnalysisOutcome[]>;

  /**
   * Runs the analyzers whose events can be exported (options.analyzers: names or GUIDs; default scenes, silence and
   * beats) on the file, from the cache or computed as analyzeFile does, and resolves with the events as a document in
   * `format` (see docs/exporting.md). An analyzer that does not apply to the file adds nothing; a failed one rejects
   * with its code. Chapters and timelines of a file without pictures are cut where its silences end, at 25 fps.
   */
  function exportEvents(
    path: string | Uint8Array,
    format: ExportFormat,
    options?: ExportEventsOptions | null,
  ): Promise<string>;
}

/** The document forms of Quillan.exportEvents. */
export type ExportFormat = 'ffmetadata' | 'webvtt' | 'mlt' | 'otio' | 'edl' | 'csv' | 'ndjson';

export interface ExportEventsOptions {
  /** The analyzers whose events to export, by name or GUID; default ['scenes', 'silence', 'beats']. */
  analyzers?: string[];
}

/**
 * The example analyzer module of the Quillan installation the package was built against (its path, for
 * Quillan.loadAnalyzerModule); undefined when that installation has none, and when quillan.node is loaded directly.
 */
export declare const exampleAnalyzers: string | undefined;
