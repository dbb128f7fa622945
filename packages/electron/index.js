'use strict';
// Starts the vantrell-helper exe from an Electron app (or plain Node) and
// reads back what it did. Electron itself is never required: everything comes
// from process.resourcesPath, process.execPath and process.pid.

// Inside Electron, fs sees an asar archive as a folder; original-fs sees files.
const fs = process.versions.electron ? require('original-fs') : require('fs');
const os = require('os');
const path = require('path');
const { spawn } = require('child_process');
const { newRunId, dataFolder, saveRun, loadRun, saveOwnRun, loadOwnRun, healthyMarkPath, sweepHealthyMarks } = require('./lib/run-record');
const updateLock = require('./lib/update-lock');
const { resultOfRun, statusCode, COPY_STARTED } = require('./lib/run-result');
const { refuseInPlaceUpdate, dwordText } = require('./lib/install-kind');
const { AsarArchive } = require('./lib/asar');
const { UpdateError, sha512Hex, checkFuses, checkArchive, journalPath, exists } = require('./lib/update-checks');

const where = require('./lib/helper-path');

// ---- Where the helper is -------------------------------------------------

function helperPath(options = {}) {
  if (options.helperPath != null) {
    const given = String(options.helperPath);
    if (isFile(given)) return given;
    throw new Error(`vantrell-helper not found; looked at: ${given}`);
  }
  const target = { platform: process.platform, arch: process.arch };
  const looked = where.candidates({ ...target, resourcesPath: process.resourcesPath, packageDir: __dirname });
  const found = looked.find(isFile);
  if (found !== undefined) return found;
  throw new Error(where.notFoundMessage({ ...target, looked }));
}

function isFile(file) {
  try {
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// ---- The log --------------------------------------------------------------

// The helper's own rule: the per-user local application data folder, with
// forward slashes on Windows.
function logPath() {
  let base;
  if (process.platform === 'win32') {
    base = process.env.LOCALAPPDATA || path.join(os.homedir(), 'AppData', 'Local');
    return `${base.replace(/\\/g, '/').replace(/\/+$/, '')}/vantrell/update-log.txt`;
  }
  const xdg = process.env.XDG_DATA_HOME;
  const home = process.env.HOME;
  if (xdg && xdg.startsWith('/')) base = xdg;
  else if (home && home.startsWith('/')) base = `${home}/.local/share`;
  else return null;
  while (base.length > 1 && base.endsWith('/')) base = base.slice(0, -1);
  return `${base}/vantrell/update-log.txt`;
}

const LINE = /^(INFO {2}|WARN {2}|ERROR )\((\d+)\) (.*)$/s;

// A message may hold a line break (an --args text can); a piece that does not
// start like a line continues the one before it.
function parseLines(text) {
  const lines = [];
  const pieces = text.split(/\r?\n/);
  if (pieces[pieces.length - 1] === '') pieces.pop();
  for (const raw of pieces) {
    const match = LINE.exec(raw);
    if (match) {
      lines.push({ level: match[1].trim(), pid: Number(match[2]), message: match[3] });
    } else if (lines.length > 0) {
      lines[lines.length - 1].message += `\n${raw}`;
    }
  }
  return lines;
}

// The log grows across runs; only its end is read.
const LOG_TAIL_BYTES = 8 * 1024 * 1024;

function readLog(file) {
  let handle;
  try {
    handle = fs.openSync(file, 'r');
  } catch (error) {
    if (error.code === 'ENOENT') return [];
    throw error;
  }
  try {
    const size = fs.fstatSync(handle).size;
    const start = Math.max(0, size - LOG_TAIL_BYTES);
    const buffer = Buffer.alloc(size - start);
    let filled = 0;
    while (filled < buffer.length) {
      const read = fs.readSync(handle, buffer, filled, buffer.length - filled, start + filled);
      if (read === 0) break;
      filled += read;
    }
    let text = buffer.subarray(0, filled).toString('utf8');
    if (start > 0) text = text.slice(text.indexOf('\n') + 1);
    return parseLines(text);
  } finally {
    fs.closeSync(handle);
  }
}

// The first line of each command, in the order the helper runs them. Within
// one run these ranks never go down and no kind repeats, so a line that would
// do either begins a later run of a reused process id.
const COMMAND_STARTS = [
  ['sleep', 0, /^(Sleeping for |Sleep time in milliseconds is required)/],
  ['elevate', 1, /^Requires elevated privileges$/],
  ['update', 2, /^started updater\./],
  ['wait', 2, /^Waiting for process \d+ to exit/],
  ['regedit', 3, /^started regedit\./],
  ['extract', 4, /^Started extraction\./],
  ['launch', 5, /^(Launching process\.|Program path is required)/],
];

// Lines a run can end with: a command's last line, or an ERROR the helper
// does not go on after.
const END_LINES = [
  /^Sleep completed$/,
  /^Update finished$/,
  /^regedit key: .* done$/s,
  /^Extraction completed$/,
  /^Launching process\./,
];
const ERRORS_GONE_ON_FROM = [/^Refused unsafe entry name: /, /^Failed to extract file: /, /^Failed to get file info at index /];
const RUN_MARK = /^Run [0-9a-f]+ (started|ended, exit status -?\d+)$/;

function commandStart(message) {
  for (const [kind, rank, pattern] of COMMAND_STARTS) if (pattern.test(message)) return { kind, rank };
  return null;
}

// Indexes into `lines` of the last run of `pid` that starts at or after `from`.
function lastRunOf(lines, pid, from = 0) {
  let run = [];
  let rank = -1;
  let kinds = new Set();
  for (let i = from; i < lines.length; i++) {
    if (lines[i].pid !== pid) continue;
    const start = commandStart(lines[i].message);
    if (start && (start.rank < rank || kinds.has(start.kind))) {
      run = [];
      rank = -1;
      kinds = new Set();
    }
    if (start) {
      rank = start.rank;
      kinds.add(start.kind);
    }
    run.push(i);
  }
  return run;
}

function endsRun(line) {
  if (line.level === 'ERROR') return !ERRORS_GONE_ON_FROM.some((pattern) => pattern.test(line.message));
  return line.level === 'INFO' && END_LINES.some((pattern) => pattern.test(line.message));
}

function resultFrom(lines, pid) {
  const own = lastRunOf(lines, pid);
  if (own.length === 0) return null;
  let indexes = own;
  let elevatedPid = null;
  let decisive = own;
  for (const i of own) {
    const copy = COPY_STARTED.exec(lines[i].message);
    if (copy) {
      elevatedPid = Number(copy[1]);
      // The copy writes while this run waits: its first lines may even come
      // before the line that names it, never before this run's first.
      decisive = lastRunOf(lines, elevatedPid, own[0]);
      indexes = [...own, ...decisive].sort((a, b) => a - b);
    }
  }
  const runLines = indexes.map((i) => lines[i]);
  const last = decisive.length > 0 ? lines[decisive[decisive.length - 1]] : null;
  const errors = runLines.filter((line) => line.level === 'ERROR');
  // An elevating run's own ERROR (the copy could not start) ends it too.
  const ownError = own.map((i) => lines[i]).filter((line) => line.level === 'ERROR' && endsRun(line));
  const finished = (last !== null && endsRun(last)) || ownError.length > 0;
  const error = errors.length > 0 ? errors[errors.length - 1].message : null;
  return { pid, elevatedPid, lines: runLines, finished, error, succeeded: finished && error === null };
}

// With options.runId, exactly that run; otherwise the last run of `pid`,
// told apart from an earlier run of a reused pid by the order of commands.
function readResult(pid, options = {}) {
  const file = options.logPath || logPath();
  if (!file) return null;
  if (options.runId != null) {
    const result = resultOfRun(readLog(file), String(options.runId));
    return result && (pid == null || result.pid === Number(pid)) ? { ...result, logPath: file } : null;
  }
  // A named run's first and last lines are no command's.
  const lines = readLog(file).filter((line) => !RUN_MARK.test(line.message));
  const result = resultFrom(lines, Number(pid));
  return result && { ...result, logPath: file };
}

// This app's own run, its elevated copy included: the one this process
// started, else the one that relaunched it (the helper hands its run id on in
// the environment), else the last one recorded in the app's data folder;
// null when there is none or the log does not hold it.
function lastResult(options = {}) {
  const folder = dataFolder(options);
  const relaunchedBy = process.env[RUN_ID_VARIABLE];
  let run = null;
  if (ownRun !== null) run = ownRun;
  else if (folder && relaunchedBy) run = loadOwnRun(folder, relaunchedBy);
  else if (folder) run = loadRun(folder);
  if (!run) return null;
  const file = options.logPath || run.logPath;
  const result = resultOfRun(readLog(file), run.runId, runWatch(run));
  // A judged run's mark is of no more use; it must not linger.
  if (result && result.finished && folder) sweepHealthyMarks(folder, (runId) => runId === run.runId);
  return result && { ...result, startedAt: run.startedAt, logPath: file };
}

// How a recorded run's result is read: whether its helper was asked to watch
// the relaunched app, and whether that helper still runs.
function runWatch(run) {
  return { watched: Number.isInteger(run.probationMs) && run.probationMs > 0, running: () => processRuns(run.pid) };
}

// A process id that no longer exists means the process ended; one we may not
// signal exists. Unknown (null) counts as running.
function processRuns(pid) {
  if (!Number.isInteger(pid) || pid <= 0) return pid == null;
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

// Called by the relaunched app once it has started well: it ends the
// helper's watch over it before the probation is up, so that a later crash
// is not taken for a failed start. Creates the mark of the run that
// relaunched this process (VANTRELL_HELPER_RUN_ID) when that run watches
// it; true when the mark is there, false when there is no such run, the run
// has no probation or is over. Never throws: a failure here must not be what
// ends a healthy app.
function markHealthy(options = {}) {
  try {
    const folder = dataFolder(options);
    const runId = process.env[RUN_ID_VARIABLE];
    if (!folder || !runId) return false;
    const run = loadOwnRun(folder, runId);
    if (!run || !runWatch(run).watched) return false;
    const result = resultOfRun(readLog(options.logPath || run.logPath), runId, runWatch(run));
    // A run that has judged this process, is rolling it back, or failed
    // before it could watch it (the old version was started) is past the
    // mark's use.
    if (!result || result.status !== null || result.failedExitStatus !== null || result.error !== null) return false;
    try {
      fs.writeFileSync(healthyMarkPath(folder, runId), `${process.pid}\n`, { flag: 'wx' });
    } catch (error) {
      if (error.code !== 'EEXIST') return false;
    }
    return true;
  } catch {
    return false;
  }
}

// ---- Arguments for the launched program ------------------------------------

const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// The helper splits --args at single spaces and puts the pieces onto the
// program's command line as they are, joined by one space; runs of spaces
// are lost there. So each argument is quoted by the rules Windows programs
// split their command line with, and one with two spaces in a row cannot be
// carried at all.
function quoteArgument(argument, name) {
  if (typeof argument !== 'string') {
    throw new TypeError(`${name} is not a string: ${typeof argument}`);
  }
  // The argument itself is named too, escaped, so that a long list shows which one it was.
  const shown = JSON.stringify(argument);
  const refuse = (why) => new UpdateError('ARGUMENT_NOT_CARRIED', `${name} ${shown} ${why}`);
  if (argument.includes('\0')) throw refuse('holds a NUL character, which no command line can carry');
  if (argument.includes('  ')) throw refuse("holds two spaces in a row, which the helper's --args cannot carry");
  if (LONE_SURROGATE.test(argument)) throw refuse('is not valid Unicode text (a lone surrogate)');
  if (argument !== '' && !/[ \t\n\v"]/.test(argument)) return argument;
  let quoted = '"';
  let backslashes = 0;
  for (const character of argument) {
    if (character === '\\') {
      backslashes++;
      continue;
    }
    // Backslashes count double only before a quote.
    quoted += '\\'.repeat(character === '"' ? backslashes * 2 + 1 : backslashes) + character;
    backslashes = 0;
  }
  return `${quoted}${'\\'.repeat(backslashes * 2)}"`;
}

// `names` says what the caller calls the list and its items, for the errors.
const LAUNCH_NAMES = { list: 'args', item: (index) => `argument ${index}` };

function argsText(args, names = LAUNCH_NAMES) {
  if (!Array.isArray(args)) throw new TypeError(`${names.list} must be an array of strings`);
  return args.map((argument, index) => quoteArgument(argument, names.item(index))).join(' ');
}

// Windows starts a .bat or .cmd file through cmd.exe, which reads &, |, ^ and
// %VAR% in its arguments as commands and variables: no quoting makes an
// argument arrive as given. The system drops trailing dots and spaces from a
// name, and `::$DATA` names the file's own data.
function batchFileName(program) {
  let name = program.replace(/^.*[\\/]/, '');
  for (let before = null; before !== name; ) {
    before = name;
    name = name.replace(/::\$DATA$/i, '').replace(/[. ]+$/, '');
  }
  return /\.(bat|cmd)$/i.test(name);
}

function launchArguments(program, args, names) {
  if (typeof program !== 'string' || program === '') throw new TypeError('program must be a non-empty string');
  if (process.platform === 'win32' && batchFileName(program)) {
    throw new UpdateError(
      'BATCH_FILE',
      `the program ${JSON.stringify(program)} is a batch file, which Windows runs through cmd.exe: its arguments could not arrive as given; launch a program (.exe) instead`,
    );
  }
  const text = argsText(args, names);
  return ['--launch', '--program', program, ...(args.length > 0 ? ['--args', text] : [])];
}

// ---- The update ------------------------------------------------------------

function appAsarOf(options) {
  if (options.appAsar != null) return options.appAsar;
  if (typeof process.resourcesPath !== 'string' || process.resourcesPath === '') {
    throw new Error('appAsar is needed outside an Electron app (process.resourcesPath is not set)');
  }
  return path.join(process.resourcesPath, 'app.asar');
}

// The download as an archive, or the refusal that says what it is instead.
const ARCHIVE_REFUSALS = { missing: 'UPDATE_MISSING', cut: 'UPDATE_TRUNCATED', 'not-asar': 'UPDATE_NOT_ASAR' };

function openUpdate(updateAsar) {
  try {
    return new AsarArchive(updateAsar, 'the update archive');
  } catch (error) {
    if (!ARCHIVE_REFUSALS[error.kind]) throw error;
    throw new UpdateError(ARCHIVE_REFUSALS[error.kind], error.message);
  }
}

// The probation asked for, in milliseconds; 0 when it is off.
function probationOf(options) {
  const { probation } = options;
  if (probation == null || probation === true) return PROBATION_MS;
  if (probation === false) return 0;
  if (!Number.isInteger(probation) || probation < 0 || probation > PROBATION_MAX_MS) {
    throw new TypeError('probation must be a whole number of milliseconds (0 or false turns it off)');
  }
  return probation;
}

function updateArguments(options) {
  const { updateAsar, relaunch, sleepMs, elevate, relaunchAfterFailure } = options;
  refuseInPlaceUpdate();
  probationOf(options);
  if (typeof updateAsar !== 'string' || updateAsar === '') throw new TypeError('updateAsar must be a path');
  const appAsar = appAsarOf(options);
  openUpdate(updateAsar).close();
  if (!isFile(appAsar)) throw new UpdateError('APP_ASAR_MISSING', `the app's archive does not exist: ${appAsar}`);
  const argv = ['--update', '--wait', String(process.pid), '--appAsar', appAsar, '--updateAsar', updateAsar];
  if (options.sha512 != null) argv.push('--sha512', sha512Hex(options.sha512));
  if (relaunch) {
    // The app's own arguments: under Electron argv[0] is the exe itself.
    const names =
      relaunch === true
        ? { list: 'process.argv', item: (index) => `relaunch argument process.argv[${index + 1}]` }
        : { list: 'relaunch.args', item: (index) => `relaunch argument relaunch.args[${index}]` };
    const args = relaunch === true ? process.argv.slice(1) : relaunch.args || [];
    argv.push(...launchArguments(process.execPath, args, names));
    // A failed update still brings the (old) app back unless the caller
    // turns it off; the failure stays the run's status for lastResult().
    if (relaunchAfterFailure !== false) argv.push('--launchAfterFailure');
  }
  if (sleepMs != null) {
    if (!Number.isInteger(sleepMs) || sleepMs < 0) throw new TypeError('sleepMs must be a whole number of milliseconds');
    argv.push('--sleep', '--ms', String(sleepMs));
  }
  if (elevate) argv.push('--elevate');
  return argv;
}

// An interrupted update is completed or undone by the helper within seconds;
// this bounds the wait should it hang.
const REPAIR_TIMEOUT_MS = 120000;
// How long a started helper has to show that it runs and has taken the update
// over (its "Run <id> started" line); a slow start under an emulator or a
// busy scanner takes seconds.
const START_TIMEOUT_MS = 20000;
const RUN_ID_VARIABLE = 'VANTRELL_HELPER_RUN_ID';
// How long the helper watches the relaunched new version by default: long
// enough for an app's start (its modules loaded, its first window shown).
const PROBATION_MS = 30000;
const PROBATION_MAX_MS = 2147483647;
let updatePending = false;
// The run this process started last, for lastResult().
let ownRun = null;

// The helper's per-user folder holds the marks of installations being
// updated; the app's data folder stands in when no such folder is known.
function lockFolder(options) {
  const log = logPath();
  if (log) return path.dirname(log);
  return dataFolder(options);
}

// Whether the log shows the end of the run a lock record names.
function runEnded(run) {
  if (typeof run.logPath !== 'string' || typeof run.runId !== 'string') return false;
  try {
    const result = resultOfRun(readLog(run.logPath), run.runId);
    return result !== null && result.status !== null;
  } catch {
    return false;
  }
}

// One update per installation at a time: in this process, and across the
// processes of this user (a second running instance of the app). The update
// stays pending until its helper ends.
function applyAsarUpdate(options) {
  if (updatePending) return Promise.reject(new UpdateError('UPDATE_PENDING', 'an update is already pending; quit the app to let it finish'));
  updatePending = true;
  let lock = null;
  return Promise.resolve()
    .then(() => {
      options = options || {};
      const folder = lockFolder(options);
      const runId = newRunId();
      try {
        if (folder) lock = updateLock.acquire(folder, appAsarOf(options), runId, runEnded);
      } catch (error) {
        // A folder that cannot hold the mark cannot hold the helper's log
        // either: the helper then ends before it takes over, and says why.
        if (error instanceof UpdateError) throw error;
      }
      return startUpdate(options, runId, lock);
    })
    .catch((error) => {
      updatePending = false;
      if (lock) updateLock.release(lock);
      throw error;
    });
}

// Every check an update must pass before the helper starts; gives the
// helper's arguments. Staging an update runs exactly these.
async function checkUpdate(options) {
  const appAsar = appAsarOf(options);
  await checkFuses(options);
  // The checks must see the installation whole, not halfway through an update.
  if (typeof appAsar === 'string' && exists(journalPath(appAsar))) {
    const repair = ['--repair', '--appAsar', appAsar, ...(options.elevate ? ['--elevate'] : [])];
    await runHelper(repair, { helperPath: helperToStart(options), timeoutMs: REPAIR_TIMEOUT_MS });
    // A helper too old to know --repair ends with status 0 and repairs nothing.
    if (exists(journalPath(appAsar))) throw new UpdateError('REPAIR_FAILED', `the interrupted update of ${appAsar} was not repaired: its journal is still there`);
  }
  const argv = updateArguments(options);
  await checkArchive(options, options.updateAsar, appAsar);
  checkSignature(options);
  return argv;
}

// The helper's path; one that cannot be found is a helper that cannot start.
function helperToStart(options) {
  try {
    return helperPath(options);
  } catch (error) {
    throw new UpdateError('HELPER_NOT_STARTED', error.message);
  }
}

async function startUpdate(options, runId, lock) {
  const argv = await checkUpdate(options);
  const helper = helperToStart(options);
  argv.push('--runId', runId);
  const folder = dataFolder(options || {});
  // The relaunched new version is watched, and rolled back when it fails
  // before it is healthy. Its mark lies in the data folder, named by the run,
  // so that no other run's mark counts; without a folder there is no mark
  // and no probation.
  const probationMs = options.relaunch && folder ? probationOf(options) : 0;
  if (probationMs > 0) argv.push('--probation', String(probationMs), '--healthyMark', healthyMarkPath(folder, runId));
  const started = { pid: null, runId, startedAt: Date.now(), logPath: logPath(), probationMs };
  // Recorded before the start, so that a helper never runs unrecorded:
  // lastResult() of the relaunched app reads exactly this run.
  try {
    if (folder) {
      sweepHealthyMarks(folder, (markRunId) => markIsStale(folder, markRunId));
      saveOwnRun(folder, started);
      saveRun(folder, started);
    }
  } catch (error) {
    throw new UpdateError('RUN_NOT_RECORDED', `the run cannot be recorded in ${folder}: ${error.code || error.message}`);
  }
  const timeoutMs = options.startTimeoutMs != null ? options.startTimeoutMs : START_TIMEOUT_MS;
  if (!Number.isInteger(timeoutMs) || timeoutMs <= 0) throw new TypeError('startTimeoutMs must be a whole number of milliseconds');
  // The relaunched app finds its own run by this variable (see lastResult).
  const env = { ...process.env, [RUN_ID_VARIABLE]: runId };
  const { child, printedLog } = await takeOver(helper, argv, runId, started.logPath, timeoutMs, env);
  child.once('exit', () => {
    updatePending = false;
    if (lock) updateLock.release(lock);
  });
  child.unref();
  started.pid = child.pid;
  started.logPath = printedLog;
  ownRun = started;
  try {
    if (lock) updateLock.attach(lock, child.pid, printedLog);
    if (folder) {
      saveOwnRun(folder, started);
      saveRun(folder, started);
    }
  } catch {
    // The records without the pid name the run as well.
  }
  return started;
}

// An earlier run's mark: its run has ended, its helper is gone, or its
// record is (the newest few are kept).
function markIsStale(folder, runId) {
  const run = loadOwnRun(folder, runId);
  return run === null || runEnded(run) || !processRuns(run.pid);
}

// Lines of the log written after `offset`, or its last megabyte when it was
// replaced meanwhile.
function logLinesFrom(file, offset) {
  let handle;
  try {
    handle = fs.openSync(file, 'r');
  } catch {
    return [];
  }
  try {
    const size = fs.fstatSync(handle).size;
    const start = offset <= size ? offset : Math.max(0, size - 1024 * 1024);
    const buffer = Buffer.alloc(Math.min(size - start, 16 * 1024 * 1024));
    const read = fs.readSync(handle, buffer, 0, buffer.length, start);
    return parseLines(buffer.subarray(0, read).toString('utf8'));
  } finally {
    fs.closeSync(handle);
  }
}

function logSize(file) {
  try {
    return file ? fs.statSync(file).size : 0;
  } catch {
    return 0;
  }
}

// Starts the helper detached and resolves once it has printed its log path
// and written "Run <id> started" there: it runs, has parsed its options and
// owns the update. A helper that cannot start (a missing library ends it with
// 127), ends first, or stays silent past `timeoutMs` (it is then ended)
// rejects with HELPER_NOT_STARTED, and the app keeps running.
function takeOver(helper, argv, runId, expectedLog, timeoutMs, env) {
  return new Promise((resolve, reject) => {
    const offset = logSize(expectedLog);
    // Standard output only carries the log path, written before the options
    // are parsed; the helper's other streams go nowhere, as they must once
    // this app has quit.
    const child = spawn(helper, argv, { detached: true, stdio: ['ignore', 'pipe', 'ignore'], windowsHide: true, env });
    let printed = '';
    let done = false;
    let timer = null;
    let poller = null;
    const finish = (error) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      clearInterval(poller);
      child.stdout.destroy();
      if (error) reject(error);
      else resolve({ child, printedLog: printed.split(/\r?\n/)[0] });
    };
    const notStarted = (why) => {
      const lines = printed.includes('\n') ? logLinesFrom(printed.split(/\r?\n/)[0], 0).filter((line) => line.pid === child.pid) : [];
      const error = [...lines].reverse().find((line) => line.level === 'ERROR');
      return new UpdateError('HELPER_NOT_STARTED', `vantrell-helper (${helper}) ${why}${error ? `: ${error.message}` : ''}; the app was not asked to quit`);
    };
    // Letting go of the pipe must never end the app: Node for Windows run
    // with a pipe for its own standard error fails to set that stream up as
    // the pipe is destroyed.
    child.stdout.on('error', () => {});
    child.stdout.on('data', (chunk) => {
      if (printed.length < 65536) printed += chunk.toString('utf8');
    });
    child.once('error', (error) => finish(notStarted(`could not be started: ${error.message}`)));
    const startedLine = `Run ${runId} started`;
    const hasTakenOver = () => {
      if (!printed.includes('\n')) return false;
      const log = printed.split(/\r?\n/)[0];
      const from = log === expectedLog ? offset : Infinity;
      // The id is random and every logged text escaped: the line is this run's,
      // whatever process id a wrapper gave the helper.
      return logLinesFrom(log, from).some((line) => line.message === startedLine);
    };
    // The helper waits for this app to quit: one that has ended already
    // cannot update it.
    child.once('exit', (status, signal) => {
      const how = status === 127 ? 'status 127 (the system could not run it: a shared library it needs may be missing)' : status === null ? `signal ${signal}` : `status ${status}`;
      finish(notStarted(`ended with ${how} ${hasTakenOver() ? 'before the app quit, so it could not update it' : 'before it took the update over'}`));
    });
    poller = setInterval(() => {
      if (hasTakenOver()) finish(null);
    }, 25);
    timer = setTimeout(() => {
      try {
        child.kill('SIGKILL');
      } catch {
        // It has just ended.
      }
      finish(notStarted(`did not write "${startedLine}" to its log within ${timeoutMs} ms; it was ended`));
    }, timeoutMs);
  });
}

// ---- Commands the caller waits for ------------------------------------------

class HelperError extends Error {
  constructor(status, signal, lines, logFile) {
    const error = [...lines].reverse().find((line) => line.level === 'ERROR');
    const how = status === null ? `was ended by ${signal}` : `ended with status ${status}`;
    super(`vantrell-helper ${how}${error ? `: ${error.message}` : ''}`);
    this.name = 'HelperError';
    this.status = status;
    this.signal = signal;
    this.code = statusCode(status);
    this.lines = lines;
    this.logPath = logFile;
  }
}

// The lines of this run are what the helper writes to standard error: exactly
// this process's lines, even when the log file cannot be opened.
function runHelper(argv, options = {}) {
  return new Promise((resolve, reject) => {
    const helper = helperPath(options);
    const child = spawn(helper, argv, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
    const out = [];
    const err = [];
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.on('data', (chunk) => err.push(chunk));
    child.once('error', (error) => reject(new Error(`vantrell-helper could not be started: ${helper}: ${error.message}`)));
    // A hung helper is ended; it reports as killed.
    const timer = options.timeoutMs ? setTimeout(() => child.kill(), options.timeoutMs) : null;
    child.once('close', (status, signal) => {
      if (timer) clearTimeout(timer);
      const lines = parseLines(Buffer.concat(err).toString('utf8'));
      const printed = Buffer.concat(out).toString('utf8').split(/\r?\n/)[0] || logPath();
      if (status === 0) resolve({ pid: child.pid, status, lines, logPath: printed });
      else reject(new HelperError(status, signal, lines, printed));
    });
  });
}

const ROOT_KEYS = ['HKCR', 'HKCU', 'HKLM', 'HKU', 'HKCC'];
const VALUE_TYPES = ['REG_SZ', 'REG_DWORD'];

function setRegistryValue({ root, subkey = '', name = '', value, type = 'REG_SZ', helperPath: helper } = {}) {
  return Promise.resolve().then(() => {
    if (!ROOT_KEYS.includes(root)) throw new TypeError(`root must be one of ${ROOT_KEYS.join(', ')}`);
    if (!VALUE_TYPES.includes(type)) throw new TypeError(`type must be one of ${VALUE_TYPES.join(', ')}`);
    if (type === 'REG_SZ' && typeof value !== 'string') throw new TypeError('a REG_SZ value must be a string');
    const data = type === 'REG_DWORD' ? dwordText(value) : value;
    const argv = ['--regedit', '--rootkey', root, '--subkey', subkey, '--key', name, '--value', data, '--type', type];
    return runHelper(argv, { helperPath: helper }).catch((error) => {
      // The helper's line does not say which key; the caller needs to know.
      if (error instanceof HelperError && error.code === 'KEY_NOT_OPENED') {
        const key = subkey === '' ? root : `${root}\\${subkey}`;
        error.message = `the registry key ${key} cannot be opened (it must exist before a value is written to it): ${error.message}`;
      }
      throw error;
    });
  });
}

function extractZip({ zip, out, helperPath: helper } = {}) {
  return Promise.resolve().then(() => {
    if (typeof zip !== 'string' || zip === '') throw new TypeError('zip must be a path');
    if (typeof out !== 'string' || out === '') throw new TypeError('out must be a path');
    return runHelper(['--extract', '--zip', zip, '--out', out], { helperPath: helper });
  });
}

function launch(program, args = [], options = {}) {
  return Promise.resolve().then(() => runHelper(launchArguments(program, args), options));
}

module.exports = {
  helperPath,
  applyAsarUpdate,
  setRegistryValue,
  extractZip,
  launch,
  readResult,
  lastResult,
  markHealthy,
  logPath,
  argsText,
  updateArguments,
  launchArguments,
  statusCode,
  HelperError,
  UpdateError,
};

// ---- Signed updates, progress, install on quit -------------------------------

const { checkSignature, signedMessage } = require('./lib/update-signature');
const { reporterOf, logEnd, followRun } = require('./lib/update-progress');
const { staging } = require('./lib/staged-update');

// The update with its progress told: the checks, the helper's start, then
// the helper's own lines and steps while the app is still there to hear them.
function applyAsarUpdateWithProgress(options) {
  let reporter;
  try {
    reporter = reporterOf(options);
  } catch (error) {
    return Promise.reject(error);
  }
  if (reporter === null) return applyAsarUpdate(options);
  const file = logPath();
  const from = logEnd(file);
  reporter.step('checking');
  return applyAsarUpdate(options).then((started) => {
    reporter.step('started', { runId: started.runId, pid: started.pid });
    followRun({ file: started.logPath || file, from, runId: started.runId, reporter, parseLines });
    return started;
  });
}

const staged = staging({ applyAsarUpdate: applyAsarUpdateWithProgress, checkUpdate, helperPath, lastResult });

Object.assign(module.exports, {
  applyAsarUpdate: applyAsarUpdateWithProgress,
  stageAsarUpdate: staged.stageAsarUpdate,
  cancelStagedUpdate: staged.cancelStagedUpdate,
  settleStagedUpdate: staged.settleStagedUpdate,
  signedMessage,
});
