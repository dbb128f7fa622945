'use strict';
// One named run read from the log: the lines between the helper's
// "Run <id> started" and "Run <id> ended, exit status <n>", and those of its
// elevated copy between the copy's own two. Every line of the helper is
// escaped, so no option text can pose as one of these.

const COPY_STARTED = /^Elevated copy started, process id (\d+)$/;
const LAUNCH = /^Launching process\. /;
const SWAPPED = /^Update finished$/;
// The relaunched program failed before it was healthy; the helper puts the
// replaced pair back, then starts the program once more on it.
const FAILED_IN_PROBATION = /^The updated program ended with exit status (\d+) before it was healthy; rolling back /;
const ROLLED_BACK = /^Rolled back .* to the previous version$/s;

// Names for the helper's exit statuses.
const STATUS_CODES = new Map([
  [1, 'COMMAND_FAILED'],
  [2, 'INPUT_MISSING'],
  [3, 'KEY_NOT_OPENED'],
  [4, 'VALUE_NOT_WRITTEN'],
  [5, 'FILE_SYSTEM_FAILED'],
  [6, 'OUT_OF_MEMORY'],
  [7, 'ROLLED_BACK'],
  [255, 'COMMAND_LINE_INVALID'],
  [-1, 'COMMAND_LINE_INVALID'],
  [4294967295, 'COMMAND_LINE_INVALID'],
]);

function statusCode(status) {
  if (status === 0) return null;
  if (status === null || status === undefined) return 'KILLED';
  return STATUS_CODES.get(status) || 'UNKNOWN_STATUS';
}

function escapeRegExp(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

// Indexes of the lines of `pid` inside its run `runId`, from `from` on, and
// the run's exit status when it has ended (else null); null when the run's
// first line is not there.
function namedRun(lines, pid, runId, from) {
  const started = `Run ${runId} started`;
  const ended = new RegExp(`^Run ${escapeRegExp(runId)} ended, exit status (-?\\d+)$`);
  let first = -1;
  for (let i = from; i < lines.length && first < 0; i++) {
    if ((pid === null || lines[i].pid === pid) && lines[i].message === started) first = i;
  }
  if (first < 0) return null;
  const own = lines[first].pid;
  const indexes = [];
  for (let i = first + 1; i < lines.length; i++) {
    if (lines[i].pid !== own) continue;
    const end = ended.exec(lines[i].message);
    if (end) return { pid: own, first, indexes, status: Number(end[1]) };
    indexes.push(i);
  }
  return { pid: own, first, indexes, status: null };
}

// What became of a relaunch the helper watched (--probation): the exit
// status of a new version that failed, and whether the old pair is back (by
// this run or by the elevated copy it started for that).
function probationOutcome(runLines) {
  let failedExitStatus = null;
  let rolledBack = false;
  for (const { level, message } of runLines) {
    const failed = level === 'WARN' && failedExitStatus === null && FAILED_IN_PROBATION.exec(message);
    if (failed) failedExitStatus = Number(failed[1]);
    else if (failedExitStatus !== null && level === 'INFO' && ROLLED_BACK.test(message)) rolledBack = true;
  }
  return { failedExitStatus, rolledBack };
}

// The result of the run `runId`, or null when the log holds no such run.
// `watched`: the run was asked to watch its relaunch (its record says so);
// `running()`: whether its helper process still runs.
function resultOfRun(lines, runId, { watched = false, running = () => true } = {}) {
  const run = namedRun(lines, null, runId, 0);
  if (run === null) return null;
  let indexes = run.indexes;
  let elevatedPid = null;
  let copyStatus = null;
  for (const i of run.indexes) {
    const copy = COPY_STARTED.exec(lines[i].message);
    if (!copy) continue;
    elevatedPid = Number(copy[1]);
    // The copy writes while this run waits; it starts after this run did.
    const copyRun = namedRun(lines, elevatedPid, runId, run.first);
    if (copyRun !== null) {
      indexes = [...indexes, ...copyRun.indexes].sort((a, b) => a - b);
      copyStatus = copyRun.status;
    }
  }
  const runLines = indexes.map((i) => lines[i]);
  const own = run.indexes.map((i) => lines[i]);
  const errors = runLines.filter((line) => line.level === 'ERROR');
  const error = errors.length > 0 ? errors[errors.length - 1].message : null;
  const { failedExitStatus, rolledBack } = probationOutcome(runLines);
  // The launch is the run's last step: a program it started (the app itself,
  // relaunched) may read the result before the run's last line is written.
  // Not so when the helper watches the new version it started: the run goes
  // on until that version is judged; after a rollback all that is left is
  // starting the old version again, which may be the reader.
  const launched = own.length > 0 && LAUNCH.test(own[own.length - 1].message);
  const swapped = runLines.some((line) => SWAPPED.test(line.message));
  const watching = watched && swapped && error === null && failedExitStatus === null && own.some((line) => LAUNCH.test(line.message));
  let finished;
  if (run.status !== null || rolledBack) finished = true;
  else if (watching || failedExitStatus !== null) finished = false;
  else finished = launched;
  // An elevated copy's status is the run's own only when nothing followed it:
  // a watch or a rollback decides the run's status itself.
  const status = run.status !== null ? run.status : watching || failedExitStatus !== null ? null : copyStatus;
  // A watching helper that was ended leaves a run that never ends: it is no
  // longer on probation, only unfinished.
  const probation = run.status === null && watching && running();
  let code = status === null ? null : statusCode(status);
  if (rolledBack) code = STATUS_CODES.get(7);
  return {
    pid: run.pid,
    elevatedPid,
    runId,
    status,
    lines: runLines,
    finished,
    probation,
    rolledBack,
    failedExitStatus,
    code,
    error,
    succeeded: finished && error === null && failedExitStatus === null && (status === null || status === 0),
  };
}

module.exports = { resultOfRun, statusCode, COPY_STARTED };
