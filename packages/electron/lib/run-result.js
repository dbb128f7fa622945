'use strict';
// One named run read from the log: the lines between the helper's
// "Run <id> started" and "Run <id> ended, exit status <n>", and those of its
// elevated copy between the copy's own two. Every line of the helper is
// escaped, so no option text can pose as one of these.

const COPY_STARTED = /^Elevated copy started, process id (\d+)$/;
const LAUNCH = /^Launching process\. /;

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

// The result of the run `runId`, or null when the log holds no such run.
function resultOfRun(lines, runId) {
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
  // The launch is the run's last step: a program it started (the app itself,
  // relaunched) may read the result before the run's last line is written.
  const launched = own.length > 0 && LAUNCH.test(own[own.length - 1].message);
  const finished = run.status !== null || launched;
  const status = run.status !== null ? run.status : copyStatus;
  return {
    pid: run.pid,
    elevatedPid,
    runId,
    status,
    lines: runLines,
    finished,
    error,
    succeeded: finished && error === null && (status === null || status === 0),
  };
}

module.exports = { resultOfRun, COPY_STARTED };
