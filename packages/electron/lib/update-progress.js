'use strict';
// What an app sees of an update while it runs: the step it is at
// (onProgress) and the helper's log lines as they are written (logger).
// The helper is detached and outlives the app, so its standard error is not
// tied to the app (a pipe closed at the app's exit would end it); its lines
// are read from its log instead, from where the log ended before it started,
// and only those of its run (named by the run id) and of its elevated copy.

const fs = process.versions.electron ? require('original-fs') : require('fs');
const { COPY_STARTED } = require('./run-result');

const POLL_MS = 100;
// The helper waits at most 60 s for the app, then installs within seconds;
// reading stops well after that even if the run's last line never comes.
const TAIL_LIMIT_MS = 10 * 60 * 1000;
const READ_LIMIT = 1024 * 1024;

// Steps told by a line of the run.
const LINE_STEPS = [
  [/^Waiting for process \d+ to exit/, 'waiting'],
  [/ has exited$/, 'installing'],
  [/^Update finished$/, 'installed'],
  [/^Launching process\. /, 'relaunching'],
];

// The app's callbacks, guarded: a throwing logger must not stop the update
// or the reading. A logger is a function (given each line) or an object with
// info/warn/error methods, as electron-log and electron-updater's logger are.
function reporterOf(options) {
  const { onProgress, logger } = options || {};
  if (onProgress != null && typeof onProgress !== 'function') throw new TypeError('onProgress must be a function');
  const loggerIsObject = logger != null && typeof logger === 'object';
  if (logger != null && typeof logger !== 'function' && !(loggerIsObject && typeof logger.info === 'function')) {
    throw new TypeError('logger must be a function or an object with info, warn and error methods');
  }
  if (onProgress == null && logger == null) return null;
  const guarded = (call) => {
    try {
      call();
    } catch {
      // The app's own callback failed; the update goes on.
    }
  };
  return {
    step(step, detail = {}) {
      if (onProgress) guarded(() => onProgress({ step, ...detail }));
    },
    line(line) {
      if (!logger) return;
      if (!loggerIsObject) return guarded(() => logger(line));
      const method = { ERROR: 'error', WARN: 'warn' }[line.level];
      const write = method && typeof logger[method] === 'function' ? logger[method] : logger.info;
      guarded(() => write.call(logger, `vantrell-helper (${line.pid}): ${line.message}`));
    },
  };
}

// The log's size now: where a run started after this point begins.
function logEnd(file) {
  try {
    return file ? fs.statSync(file).size : 0;
  } catch {
    return 0;
  }
}

// Follows run `runId` in `file` from byte `from` on, telling the reporter
// each of its lines and the steps they show, until the run's last line or the
// time limit. The timer never keeps the app alive. Returns a stop function.
function followRun({ file, from, runId, reporter, parseLines }) {
  if (!file || !reporter) return () => {};
  let offset = from;
  let pending = Buffer.alloc(0);
  let pid = null;
  let copyPid = null;
  const ended = new RegExp(`^Run ${runId} ended, exit status (-?\\d+)$`);
  const started = `Run ${runId} started`;
  const deadline = Date.now() + TAIL_LIMIT_MS;
  const take = (line) => {
    if (pid === null) {
      if (line.message === started) pid = line.pid;
      return false;
    }
    if (line.pid !== pid && line.pid !== copyPid) return false;
    const end = ended.exec(line.message);
    if (end && line.pid === pid) {
      reporter.step('ended', { runId, status: Number(end[1]) });
      return true;
    }
    if (end || line.message === started) return false; // the copy's own first and last lines
    const copy = line.pid === pid && COPY_STARTED.exec(line.message);
    if (copy) copyPid = Number(copy[1]);
    reporter.line(line);
    for (const [pattern, step] of LINE_STEPS) if (pattern.test(line.message)) reporter.step(step, { runId, pid: line.pid });
    return false;
  };
  const poll = () => {
    let chunk;
    try {
      chunk = readFrom(file, offset);
    } catch {
      chunk = null; // not written yet
    }
    if (chunk !== null) {
      if (chunk.restarted) {
        offset = 0;
        pending = Buffer.alloc(0);
      }
      offset += chunk.bytes.length;
      // Whole lines only, cut as bytes so that no character is split.
      const bytes = Buffer.concat([pending, chunk.bytes]);
      const cut = bytes.lastIndexOf(0x0a) + 1;
      pending = bytes.subarray(cut);
      for (const line of parseLines(bytes.toString('utf8', 0, cut))) if (take(line)) return stop();
    }
    if (Date.now() > deadline) stop();
  };
  const timer = setInterval(poll, POLL_MS);
  if (timer.unref) timer.unref();
  function stop() {
    clearInterval(timer);
  }
  return stop;
}

// The bytes from `offset` to the end (at most READ_LIMIT a time); a log
// shorter than `offset` was started anew and is read from its start.
function readFrom(file, offset) {
  const fd = fs.openSync(file, 'r');
  try {
    const size = fs.fstatSync(fd).size;
    const restarted = size < offset;
    const at = restarted ? 0 : offset;
    const length = Math.min(size - at, READ_LIMIT);
    const bytes = Buffer.alloc(Math.max(length, 0));
    const read = length > 0 ? fs.readSync(fd, bytes, 0, length, at) : 0;
    return { restarted, bytes: bytes.subarray(0, read) };
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { reporterOf, logEnd, followRun };
