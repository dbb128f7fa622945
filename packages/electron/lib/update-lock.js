'use strict';
// One update of an installation at a time, across every process of this user:
// two running instances of one app would otherwise both install, and both
// relaunch. A small file in the helper's per-user folder, named after the
// app's archive, says which run holds the installation; it is held from the
// first check until that run's helper has ended. A holder that is gone (its
// app ended before the helper started, its helper ended or was killed, or it
// is older than any update takes) does not hold it any more.

const crypto = require('crypto');
const fs = process.versions.electron ? require('original-fs') : require('fs');
const path = require('path');
const { UpdateError } = require('./update-checks');

// Far longer than the helper's own bounded waits (60 s for the app, 15 s for
// another update) and a repair (120 s) together with the copy take.
const HOLD_LIMIT_MS = 15 * 60 * 1000;
// A record being written (it is created empty, then filled).
const WRITING_MS = 10 * 1000;

function lockFile(folder, appAsar) {
  let key = path.resolve(appAsar);
  if (process.platform === 'win32') key = key.toLowerCase();
  return path.join(folder, `update-${crypto.createHash('sha256').update(key).digest('hex').slice(0, 32)}.lock`);
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    // Another user's process (an elevated helper) exists too.
    return error.code === 'EPERM';
  }
}

// Whether the holder described by `text` (the file's content, modified at
// `mtimeMs`) still holds the installation. `ended(run)` says whether the log
// shows the run's last line.
function holds(text, mtimeMs, ended) {
  let run;
  try {
    run = JSON.parse(text);
  } catch {
    return Date.now() - mtimeMs < WRITING_MS;
  }
  if (run === null || typeof run !== 'object' || !Number.isFinite(run.since) || Date.now() - run.since > HOLD_LIMIT_MS) return false;
  if (Number.isInteger(run.helperPid)) return alive(run.helperPid) && !ended(run);
  return Number.isInteger(run.appPid) && alive(run.appPid);
}

function readHolder(file) {
  try {
    return { text: fs.readFileSync(file, 'utf8'), mtimeMs: fs.statSync(file).mtimeMs };
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
}

const pending = (file) =>
  new UpdateError('UPDATE_PENDING', `another process of this app is updating the same installation (${file}); quit it or wait for its update to end`);

// Takes the installation of `appAsar` for the run `runId`, or throws
// UPDATE_PENDING; returns the lock to pass to attach() and release().
function acquire(folder, appAsar, runId, ended) {
  fs.mkdirSync(folder, { recursive: true });
  const file = lockFile(folder, appAsar);
  const lock = { file, runId, appPid: process.pid, since: Date.now() };
  for (let attempt = 0; attempt < 3; attempt++) {
    try {
      fs.writeFileSync(file, JSON.stringify({ runId, appPid: process.pid, since: lock.since }), { flag: 'wx' });
      return lock;
    } catch (error) {
      if (error.code !== 'EEXIST') throw error;
    }
    const holder = readHolder(file);
    if (holder === null) continue;
    if (holds(holder.text, holder.mtimeMs, ended)) throw pending(file);
    // The holder is gone. It is moved aside before it is deleted, so that a
    // record another process wrote in between is put back, not deleted.
    const aside = `${file}.${crypto.randomBytes(4).toString('hex')}.gone`;
    try {
      fs.renameSync(file, aside);
    } catch (error) {
      if (error.code === 'ENOENT') continue;
      throw error;
    }
    const moved = fs.readFileSync(aside, 'utf8');
    if (moved !== holder.text) {
      try {
        fs.writeFileSync(file, moved, { flag: 'wx' });
      } catch {
        // Yet another process holds it now.
      }
      fs.rmSync(aside, { force: true });
      throw pending(file);
    }
    fs.rmSync(aside, { force: true });
  }
  throw pending(file);
}

// The helper of the run has started: from now on its end frees the installation.
function attach(lock, helperPid, logPath) {
  const record = JSON.stringify({ runId: lock.runId, appPid: lock.appPid, since: lock.since, helperPid, logPath });
  const aside = `${lock.file}.${process.pid}.${crypto.randomBytes(4).toString('hex')}.tmp`;
  fs.writeFileSync(aside, record, { flag: 'wx' });
  try {
    fs.renameSync(aside, lock.file);
  } catch (error) {
    fs.rmSync(aside, { force: true });
    throw error;
  }
}

// Frees the installation when this run still holds it.
function release(lock) {
  try {
    const run = JSON.parse(fs.readFileSync(lock.file, 'utf8'));
    if (run && run.runId === lock.runId) fs.rmSync(lock.file, { force: true });
  } catch {
    // Not there, or not ours any more.
  }
}

module.exports = { acquire, attach, release, lockFile, HOLD_LIMIT_MS };
