// Types of the vantrell-helper package: starts the vantrell-helper exe from an
// Electron app and reads back what it did.

export interface HelperPathOptions {
  /** Use this binary; no other place is looked at. */
  helperPath?: string;
}

/**
 * Where the helper binary is: `options.helperPath` if given; else
 * `<process.resourcesPath>/vantrell-helper(.exe)` (a packaged app, with the
 * binary put there by electron-builder's `extraResources`); else the binary
 * shipped in this package, `bin/<platform>-<arch>/`. Throws an error naming
 * every path looked at when none exists.
 */
export function helperPath(options?: HelperPathOptions): string;

export interface ApplyAsarUpdateOptions extends HelperPathOptions {
  /** The downloaded update archive; it must exist and be an asar archive. It is moved away by the helper. */
  updateAsar: string;
  /** The archive to replace; default `<process.resourcesPath>/app.asar`. */
  appAsar?: string;
  /**
   * Start the app again afterwards: `true` with its own arguments
   * (`process.argv.slice(1)`), or with the arguments given. The program is
   * `process.execPath`.
   */
  relaunch?: boolean | { args: string[] };
  /** Sleep this many milliseconds before anything else. */
  sleepMs?: number;
  /** Let an elevated copy of the helper do the work (a UAC prompt on Windows, pkexec on Linux). */
  elevate?: boolean;
}

export interface StartedHelper {
  /** Process id of the helper; pass it to readResult() later. */
  pid: number;
  /** The log the helper writes, or null when no per-user data folder is known. */
  logPath: string | null;
}

/**
 * Checks the archives, then starts the helper detached (it outlives this
 * process) with `--update --wait <process.pid>` and the options' flags, and
 * resolves once it has started. The app must then quit: the helper waits for
 * it before replacing the archive. Rejects, starting nothing, when
 * `updateAsar` is missing or not an asar archive, when `appAsar` is missing,
 * or when relaunch arguments cannot be carried (see launch()); rejects when
 * the helper cannot be started.
 */
export function applyAsarUpdate(options: ApplyAsarUpdateOptions): Promise<StartedHelper>;

export type LogLevel = 'INFO' | 'WARN' | 'ERROR';

export interface LogLine {
  level: LogLevel;
  /** Process that wrote the line. */
  pid: number;
  message: string;
}

/** Names for the helper's exit statuses; `null` for status 0. */
export type HelperErrorCode =
  | 'COMMAND_FAILED' // 1: --sleep without --ms, elevated copy not started, program missing
  | 'INPUT_MISSING' // 2: the update archive or the zip is missing or unreadable
  | 'KEY_NOT_OPENED' // 3: the registry key cannot be opened
  | 'VALUE_NOT_WRITTEN' // 4: the registry value cannot be written
  | 'FILE_SYSTEM_FAILED' // 5: a file-system step failed
  | 'OUT_OF_MEMORY' // 6: the helper ran out of memory
  | 'COMMAND_LINE_INVALID' // -1 (255): the command line could not be split
  | 'KILLED' // ended by a signal, no status
  | 'UNKNOWN_STATUS'; // any other status

export function statusCode(status: number | null): HelperErrorCode | null;

export interface CompletedHelper {
  pid: number;
  status: 0;
  /** The lines this run wrote (its standard error). */
  lines: LogLine[];
  logPath: string | null;
}

export class HelperError extends Error {
  /**
   * What the package itself builds when the helper ends with another status
   * than 0: the message names the status (or the signal) and the run's last
   * ERROR line; `code` is `statusCode(status)`.
   */
  constructor(status: number | null, signal: NodeJS.Signals | null, lines: LogLine[], logPath: string | null);
  name: 'HelperError';
  /** Exit status as the system reports it; null when ended by a signal. */
  status: number | null;
  signal: NodeJS.Signals | null;
  code: HelperErrorCode;
  /**
   * The lines this run wrote, read from its standard error: exactly its own,
   * also when the log file could not be opened (an elevated copy's lines are
   * only in the log file).
   */
  lines: LogLine[];
  logPath: string | null;
}

interface RegistryValueTarget extends HelperPathOptions {
  root: 'HKCR' | 'HKCU' | 'HKLM' | 'HKU' | 'HKCC';
  /** Key path below the root; the key must exist. Default: the root itself. */
  subkey?: string;
  /** Value name; default: the key's default value. */
  name?: string;
}

/** A REG_SZ value is text (the default type); a REG_DWORD value is a whole number from 0 to 4294967295. */
export type RegistryValueOptions =
  | (RegistryValueTarget & { type?: 'REG_SZ'; value: string })
  | (RegistryValueTarget & { type: 'REG_DWORD'; value: number });

/** Writes one registry value; resolves on status 0, else rejects with a HelperError. */
export function setRegistryValue(options: RegistryValueOptions): Promise<CompletedHelper>;

export interface ExtractZipOptions extends HelperPathOptions {
  zip: string;
  out: string;
}

/** Unpacks a zip below `out`; resolves on status 0, else rejects with a HelperError. */
export function extractZip(options: ExtractZipOptions): Promise<CompletedHelper>;

/**
 * Starts `program` through the helper, which does not wait for it; resolves
 * on status 0, else rejects with a HelperError. `args` arrive in the program
 * exactly as given (Windows' command-line rules: spaces, quotes, trailing
 * backslashes, empty strings, any Unicode text). Rejects before starting
 * anything an argument that cannot be carried: one with two spaces in a row
 * (the helper splits its --args text at spaces and drops empty pieces), a NUL
 * character, a lone surrogate, or a value that is not a string.
 */
export function launch(program: string, args?: string[], options?: HelperPathOptions): Promise<CompletedHelper>;

/**
 * The outcome of one run of the helper, read from update-log.txt.
 *
 * A run is the lines of one process id, from the first line of its first
 * command on (a process id the system gave out again starts a new run: the
 * helper runs its commands in one fixed order, so a command that would come
 * earlier, or again, begins a later run). An elevating run names its copy's
 * process id; the copy's lines are part of the run.
 */
export interface HelperResult {
  pid: number;
  /** The elevated copy's process id, when this run started one. */
  elevatedPid: number | null;
  /** The run's lines and its elevated copy's, in log order. */
  lines: LogLine[];
  /**
   * True when the run (its copy, when elevating) ended on a line a run can
   * end with: the last line of a command (`Update finished`,
   * `regedit key: … done`, `Extraction completed`, `Sleep completed`,
   * `Launching process. …`), or an ERROR after which the helper stops (every
   * ERROR except the skipped zip entries). False for a run that was killed,
   * is still running, or whose copy never wrote. The helper writes no line
   * of its own at its end, so a run killed right after such a line (for
   * instance between its sleep and its update) still counts as finished.
   */
  finished: boolean;
  /** The message of the run's last ERROR line, or null. */
  error: string | null;
  /** finished and no ERROR. */
  succeeded: boolean;
  logPath: string;
}

export interface LogOptions {
  /** Read this log instead of the helper's own (see logPath()). */
  logPath?: string;
}

/** The last run of process `pid`, or null when the log holds none. */
export function readResult(pid: number, options?: LogOptions): HelperResult | null;

/**
 * The last run in the log (when its last line is an elevated copy's, the run
 * that started the copy), or null for a missing or empty log. An app
 * relaunched by the helper calls this at start.
 */
export function lastResult(options?: LogOptions): HelperResult | null;

/**
 * update-log.txt as the helper computes it: `%LOCALAPPDATA%/vantrell/` on
 * Windows, `$XDG_DATA_HOME/vantrell/` (else `$HOME/.local/share/vantrell/`)
 * elsewhere; null when neither variable holds an absolute path.
 */
export function logPath(): string | null;

/** The --args text that makes the program receive exactly `args`; throws for arrays that cannot be carried. */
export function argsText(args: string[]): string;

/** The helper's argument vector for applyAsarUpdate(options), after its checks. */
export function updateArguments(options: ApplyAsarUpdateOptions): string[];

/** The helper's argument vector for launch(program, args). */
export function launchArguments(program: string, args: string[]): string[];
