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
  /**
   * Let an elevated copy of the helper do the work (a UAC prompt on Windows,
   * pkexec on Linux). The relaunch stays unelevated: it runs as the user who
   * started the app once the copy has ended.
   */
  elevate?: boolean;
  /**
   * With `relaunch`: start the app (the old version) again also when the
   * update failed or the prompt was declined, so that the user is not left
   * without it. lastResult() still reports the failure. Default true; false
   * turns it off.
   */
  relaunchAfterFailure?: boolean;
  /**
   * With `relaunch`: how long, in milliseconds, the helper watches the new
   * version it started; default 30000, `0` or `false` turns it off (`true`
   * is the default). The new version is healthy once it calls markHealthy(),
   * when it still runs at the end, or when it exits with status 0. Should it
   * exit with any other status, or crash, before that, the helper puts the
   * replaced `app.asar` and its unpacked folder back and starts the old
   * version once more with the same arguments; lastResult() then reports
   * `rolledBack` and the code `ROLLED_BACK` (status 7). Needs the data folder
   * (see `dataFolder`), where the mark is made; without one it is off.
   */
  probation?: number | boolean;
  /**
   * How long the started helper has to show that it runs and has taken the
   * update over (it prints its log path and writes "Run <id> started" to its
   * log), in milliseconds; default 20000. Past it the helper is ended and the
   * promise rejects with `HELPER_NOT_STARTED`.
   */
  startTimeoutMs?: number;
  /**
   * Where the run is recorded for lastResult(): default Electron's
   * `app.getPath('userData')`; outside Electron, nothing is recorded without it.
   */
  dataFolder?: string;
  /**
   * The update's SHA-512 as the update feed gives it: base64 (electron-updater's
   * `latest.yml`) or 128 hex digits. Checked before the app quits
   * (`CHECKSUM_MISMATCH`), and handed to the helper, which checks the bytes it
   * installs against it.
   */
  sha512?: string;
  /** Install an update whose version is not newer than the running app's. Default false. */
  allowDowngrade?: boolean;
  /** The running app's version; default Electron's `app.getVersion()`. Needed outside Electron's main process unless `allowDowngrade`. */
  currentVersion?: string;
  /** The executable whose fuses are read; default `process.execPath`. */
  executablePath?: string;
}

/** Why applyAsarUpdate() (or launch(), for BATCH_FILE and ARGUMENT_NOT_CARRIED) refused; the app need not quit. */
export type UpdateErrorCode =
  | 'UPDATE_PENDING' // an update of this installation (by this or another process of the user) has started and its helper has not ended
  | 'UPDATE_MISSING' // the update archive cannot be opened (a missing download)
  | 'UPDATE_NOT_ASAR' // the update archive is not an asar archive (an HTML error page saved as the download, a folder)
  | 'APP_ASAR_MISSING' // the app's archive does not exist
  | 'SHA512_INVALID' // sha512 is neither base64 nor 128 hex digits of a SHA-512 digest
  | 'ARGUMENT_NOT_CARRIED' // a (re)launch argument holds two spaces in a row, a NUL character or a lone surrogate
  | 'BATCH_FILE' // on Windows the program to launch is a .bat or .cmd file, run by cmd.exe
  | 'EXECUTABLE_UNREADABLE' // the app's executable cannot be read for its fuses
  | 'REPAIR_FAILED' // an interrupted update was not completed or undone
  | 'RUN_NOT_RECORDED' // the run cannot be recorded in the data folder
  | 'HELPER_NOT_STARTED' // the helper is missing, cannot run, ended, or did not take the update over in time
  | 'ASAR_INTEGRITY_ENFORCED' // the executable's EnableEmbeddedAsarIntegrityValidation fuse is on (or its fuse wire is of an unknown version)
  | 'UPDATE_TRUNCATED' // the archive is shorter than its header says, empty, or cut inside its header
  | 'NOT_NEWER' // the archive's package.json version is not newer than the running app's, or is missing
  | 'CHECKSUM_MISMATCH' // the archive's SHA-512 is not the one given
  | 'SIGNATURE_INVALID' // with publicKey: the signature, sha512 or version is missing, or the signature is not one of the keys' over the archive's version, size and sha512
  | 'UNPACKED_MISMATCH' // a file the header marks unpacked is missing or different where it will be installed
  | 'NOT_UPDATABLE_IN_PLACE'; // an AppImage or a portable build, whose archive is gone at the next start

export class UpdateError extends Error {
  name: 'UpdateError';
  code: UpdateErrorCode;
}

export interface StartedHelper {
  /** Process id of the helper; pass it to readResult() later. */
  pid: number;
  /** The id that names this run's first and last log lines (and its elevated copy's). */
  runId: string;
  /** Date.now() when the helper was started. */
  startedAt: number;
  /** The log the helper writes, or null when no per-user data folder is known. */
  logPath: string | null;
  /** How long the helper watches the relaunched new version, in milliseconds; 0 when it does not. */
  probationMs: number;
}

/**
 * Checks the update, then starts the helper detached (it outlives this
 * process) with `--update --wait <process.pid>` and the options' flags, and
 * resolves once the helper runs and has taken the update over (its
 * "Run <id> started" line is in its log). The app must then quit: the helper
 * waits for it before replacing the archive.
 *
 * Every refusal is an UpdateError (see UpdateErrorCode), and the app keeps
 * running: an update already pending for this installation, in this process
 * or another one of the user's; an executable that enforces asar integrity or
 * cannot be read; an AppImage or portable build; a missing, empty, cut-off or
 * foreign download; a missing `appAsar`; relaunch arguments that cannot be
 * carried; a malformed `sha512`; an archive not newer, not the one `sha512`
 * names, or whose unpacked files do not match what will be installed
 * (`<updateAsar>.unpacked/` when the update brings one, else the installed
 * `<appAsar>.unpacked/`; a program electron-builder signed after packing
 * matches); a helper that is missing, cannot run, ends, or does not take over
 * within `startTimeoutMs`. When `<appAsar>.vantrell-journal` shows an
 * interrupted update, the helper completes or undoes it first (`--repair`,
 * elevated with `elevate`), and a failure rejects with its HelperError.
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
  | 'ROLLED_BACK' // 7: the updated app failed at start (probation) and the previous version was put back and started
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
 * on status 0, else rejects with a HelperError. On Windows a `.bat` or `.cmd`
 * program (any case, trailing dots or spaces, `::$DATA`) is refused with the
 * UpdateError `BATCH_FILE`: cmd.exe would read its arguments as commands.
 * `args` arrive in the program
 * exactly as given (Windows' command-line rules: spaces, quotes, trailing
 * backslashes, empty strings, any Unicode text). Rejects before starting
 * anything an argument that cannot be carried: one with two spaces in a row
 * (the helper splits its --args text at spaces and drops empty pieces), a NUL
 * character or a lone surrogate (UpdateError `ARGUMENT_NOT_CARRIED`), or a
 * value that is not a string (TypeError).
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
  /** For a named run (lastResult(), readResult with runId): its id. */
  runId?: string;
  /** For a named run: its exit status once its last line is written, else null. */
  status?: number | null;
  /** For lastResult(): Date.now() when the app started the helper. */
  startedAt?: number;
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
   * A named run is finished once its last line ("Run <id> ended, exit status
   * <n>") is written, or once it has started the program of its launch;
   * with a probation (lastResult() only) not before the new version has been
   * judged: while the helper watches it, `finished` is false and `probation`
   * true, and after a rollback the run is finished once the old version has
   * been started again.
   */
  finished: boolean;
  /**
   * lastResult(): the helper is watching the relaunched new version now (the
   * process reading this may be that version, which has yet to call
   * markHealthy()). False once it is judged, and for a watching helper that
   * was ended.
   */
  probation?: boolean;
  /**
   * For a named run: the new version failed before it was healthy and the
   * previous `app.asar` and its unpacked folder are back in place (the log's
   * "Rolled back <app.asar> to the previous version"); the old version is
   * started again. `succeeded` is false.
   */
  rolledBack?: boolean;
  /**
   * For a named run: the exit status of the new version that failed in its
   * probation (natively 128 + the signal's number for one ended by a
   * signal), also when putting the old version back failed; else null.
   */
  failedExitStatus?: number | null;
  /**
   * For a named run: statusCode(status) once the status is known, and
   * `ROLLED_BACK` as soon as the rollback is done (the old version may read
   * this before the run's last line is written); else null.
   */
  code?: HelperErrorCode | null;
  /** The message of the run's last ERROR line, or null. */
  error: string | null;
  /** finished and no ERROR (and, for a named run, a status of 0 when known). */
  succeeded: boolean;
  logPath: string;
}

export interface LogOptions {
  /** Read this log instead of the helper's own (see logPath()). */
  logPath?: string;
}

export interface ReadResultOptions extends LogOptions {
  /** Exactly the run of this id (StartedHelper.runId), its elevated copy included. */
  runId?: string;
}

export interface LastResultOptions extends LogOptions {
  /** The folder applyAsarUpdate() recorded the run in (see ApplyAsarUpdateOptions.dataFolder). */
  dataFolder?: string;
}

/**
 * With `runId`, exactly that run (null unless it is process `pid`'s, when
 * `pid` is given); otherwise the last run of process `pid`. Null when the
 * log holds none.
 */
export function readResult(pid: number | null, options?: ReadResultOptions): HelperResult | null;

/**
 * This app's own run of applyAsarUpdate(), with its elevated copy's lines:
 * the run this process started; else the run that relaunched this process
 * (the helper hands its id on in the environment variable
 * `VANTRELL_HELPER_RUN_ID`); else the last run recorded in the data folder.
 * Each run has a record of its own there, so a second instance never reads
 * the first one's run. Null when no run is recorded or the log does not
 * hold it. Other apps' runs in the shared log,
 * and later runs of a reused process id, are never taken for it. An app
 * relaunched by the helper calls this at start.
 */
export function lastResult(options?: LastResultOptions): HelperResult | null;

/**
 * For the relaunched new version to call once it has started well (its
 * window shown, its data migrated): ends the helper's watch over it, so that
 * it is kept even if it ends with an error later. Finds its run as
 * lastResult() does through `VANTRELL_HELPER_RUN_ID`, and creates that run's
 * mark in the data folder. True when the mark is there; false, doing
 * nothing, when this process was not started by a run that watches it (no
 * run, no probation, `dataFolder` unknown) or the run has already judged it.
 * Never throws.
 */
export function markHealthy(options?: LastResultOptions): boolean;

/**
 * update-log.txt as the helper computes it: `%LOCALAPPDATA%/vantrell/` on
 * Windows, `$XDG_DATA_HOME/vantrell/` (else `$HOME/.local/share/vantrell/`)
 * elsewhere; null when neither variable holds an absolute path.
 */
export function logPath(): string | null;

/** The --args text that makes the program receive exactly `args`; throws for arrays that cannot be carried. */
export function argsText(args: string[]): string;

/**
 * The helper's argument vector for applyAsarUpdate(options), after its checks;
 * the run's own `--runId` and, with a probation, `--probation` and
 * `--healthyMark` are added when the helper is started.
 */
export function updateArguments(options: ApplyAsarUpdateOptions): string[];

/** The helper's argument vector for launch(program, args). */
export function launchArguments(program: string, args: string[]): string[];

// ---- Signed updates, progress, install on quit -------------------------------

/** Where an update is; told to `onProgress` in this order (a step may be missed once the app has quit). */
export type UpdateStep =
  | 'checking' // the checks before anything starts
  | 'staged' // stageAsarUpdate(): checked and recorded, installed when the app quits
  | 'started' // the helper has been started
  | 'waiting' // the helper has taken over and waits for the app to exit
  | 'installing' // the app has exited; the helper replaces the archive
  | 'installed' // the helper's "Update finished"
  | 'relaunching' // the helper starts the app again
  | 'ended'; // the run's last line, with its exit status

export interface UpdateProgress {
  step: UpdateStep;
  /** From 'started' on: the run's id. */
  runId?: string;
  /** The helper's process id ('started'), or the process whose line showed the step. */
  pid?: number;
  /** 'ended': the run's exit status. */
  status?: number;
  /** 'staged': the staged archive. */
  updateAsar?: string;
}

/** Something with electron-log's methods (electron-updater's `logger`): each line as "vantrell-helper (<pid>): <message>" at its level. */
export interface UpdateLogger {
  info(message: string): void;
  warn?(message: string): void;
  error?(message: string): void;
}

export interface ApplyAsarUpdateOptions {
  /**
   * The Ed25519 public key(s) updates must be signed with: PEM text (what
   * `vantrell-sign keys` writes) or a KeyObject; a list takes a signature by
   * any of them. With it, an update without `sha512` and `signature` is refused.
   */
  publicKey?: string | import('crypto').KeyObject | Array<string | import('crypto').KeyObject>;
  /**
   * The update's signature from its feed entry (base64 of 64 bytes), over the
   * bytes "vantrell-helper update signature v1\nversion=<v>\nsize=<n>\nsha512=<hex>\n"
   * (see signedMessage()). Checked only with `publicKey`.
   */
  signature?: string;
  /** Told each step (UpdateStep); exceptions it throws are ignored. */
  onProgress?: (progress: UpdateProgress) => void;
  /** Given the helper's log lines of this run as they are written: a function, or an object with info/warn/error. */
  logger?: ((line: LogLine) => void) | UpdateLogger;
}

/**
 * The exact bytes an update's signature is made over: the ASCII text
 * "vantrell-helper update signature v1\n", then "version=<version>\n",
 * "size=<bytes, decimal>\n" and "sha512=<128 lower-case hex digits>\n".
 * `sha512` is taken in base64 or hex. Throws a TypeError for a version with
 * characters a semantic version does not have.
 */
export function signedMessage(fields: { version: string; size: number; sha512: string }): Buffer;

export interface StageAsarUpdateOptions extends Omit<ApplyAsarUpdateOptions, 'relaunch' | 'relaunchAfterFailure' | 'probation'> {
  /** Electron's `app` (default: `require('electron').app`): its 'will-quit' is where the update is installed. */
  app?: { on(event: 'will-quit', listener: (event: { preventDefault(): void }) => void): unknown; removeListener(event: 'will-quit', listener: (...args: any[]) => void): unknown; quit(): void };
  relaunch?: never;
}

export interface StagedUpdate {
  updateAsar: string;
  /** The version in the staged archive's package.json. */
  version: string | null;
  /** Date.now() when it was staged. */
  stagedAt: number;
}

/**
 * Install on quit. Runs every check applyAsarUpdate() runs, starting
 * nothing, records the update in the data folder and installs it when the app
 * quits on its own: 'will-quit' is held (at most 60 s) while
 * applyAsarUpdate() runs again with `relaunch: false`, then the quit goes on.
 * The app is not started again; lastResult() at the next start reports the
 * run. Staging again replaces the staged update. Rejects as applyAsarUpdate()
 * does, with a TypeError for `relaunch`, and with UPDATE_PENDING while the
 * app is already quitting.
 */
export function stageAsarUpdate(options: StageAsarUpdateOptions): Promise<StagedUpdate>;

/** Drops this run's staged update (its record and the quit hook); false when none was staged or the quit has begun. */
export function cancelStagedUpdate(): boolean;

export interface SettleStagedUpdateOptions extends Partial<StageAsarUpdateOptions> {
  /** Stage an update the last run left staged again (every check again, with this run's options), instead of dropping it. */
  apply?: boolean;
}

export type SettledUpdate =
  /** Installed at the last quit: the run, or null when the log no longer holds it. */
  | { action: 'installed'; update: StagedUpdate; result: HelperResult | null }
  /** Staged again for this run's quit. */
  | { action: 'restaged'; update: StagedUpdate }
  /** Not installed and forgotten: the app ended without quitting, the update could not be started at the quit, or (with `apply`) it failed a check. */
  | { action: 'dropped'; update: StagedUpdate; error: string; code: string | null };

/**
 * At start: what became of an update an earlier run staged. Null when none
 * was, or it is this run's own, or another instance of the app that staged
 * it is still running (it installs it at its own quit). The record is removed in every case but
 * 'restaged', so each outcome is told once.
 */
export function settleStagedUpdate(options?: SettleStagedUpdateOptions): Promise<SettledUpdate | null>;
