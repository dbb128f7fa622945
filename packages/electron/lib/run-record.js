'use strict';
// Which helper run this app started: a random run id that the helper writes
// on its first and last line, with its pid and start moment, kept in the
// app's own data folder. Other apps share the log, and process ids come
// back; the id does not.

const crypto = require('crypto');
const fs = process.versions.electron ? require('original-fs') : require('fs');
const path = require('path');

const RECORD_NAME = 'vantrell-helper-run.json';
const RUN_ID = /^[0-9a-f]{32}$/;

function newRunId() {
  return crypto.randomBytes(16).toString('hex');
}

// The app's data folder: the option, else Electron's userData folder; null
// outside Electron without the option.
function dataFolder(options = {}) {
  if (options.dataFolder != null) return String(options.dataFolder);
  if (!process.versions.electron) return null;
  try {
    const { app } = require('electron');
    return app && typeof app.getPath === 'function' ? app.getPath('userData') : null;
  } catch {
    return null;
  }
}

// Written aside and renamed over the record, so that a reader never sees
// half of it.
function saveRun(folder, run, name = RECORD_NAME) {
  fs.mkdirSync(folder, { recursive: true });
  const file = path.join(folder, name);
  const aside = `${file}.${process.pid}.${crypto.randomBytes(4).toString('hex')}.tmp`;
  fs.writeFileSync(aside, JSON.stringify(run), { flag: 'wx' });
  try {
    fs.renameSync(aside, file);
  } catch (error) {
    fs.rmSync(aside, { force: true });
    throw error;
  }
}

// The recorded run, or null when there is none or it is not one of ours.
function loadRun(folder, name = RECORD_NAME) {
  let run;
  try {
    run = JSON.parse(fs.readFileSync(path.join(folder, name), 'utf8'));
  } catch {
    return null;
  }
  if (run === null || typeof run !== 'object' || !RUN_ID.test(run.runId)) return null;
  if (!(run.pid === null || Number.isInteger(run.pid)) || !Number.isFinite(run.startedAt) || typeof run.logPath !== 'string') {
    return null;
  }
  return run;
}

module.exports = { newRunId, dataFolder, saveRun, loadRun, RECORD_NAME };

// Each run also has a record of its own, named by its id, so that two
// instances of one app never read each other's run; the newest few are kept.
const RUNS_FOLDER = 'vantrell-helper-runs';
const RUNS_KEPT = 20;

function saveOwnRun(folder, run) {
  const runs = path.join(folder, RUNS_FOLDER);
  saveRun(runs, run, `${run.runId}.json`);
  let names;
  try {
    names = fs.readdirSync(runs).filter((name) => /^[0-9a-f]{32}\.json$/.test(name));
  } catch {
    return;
  }
  if (names.length <= RUNS_KEPT) return;
  const dated = names.map((name) => {
    try {
      return { name, at: fs.statSync(path.join(runs, name)).mtimeMs };
    } catch {
      return { name, at: Infinity };
    }
  });
  dated.sort((a, b) => b.at - a.at);
  for (const { name } of dated.slice(RUNS_KEPT)) fs.rmSync(path.join(runs, name), { force: true });
}

function loadOwnRun(folder, runId) {
  if (!RUN_ID.test(String(runId))) return null;
  const run = loadRun(path.join(folder, RUNS_FOLDER), `${runId}.json`);
  return run && run.runId === runId ? run : null;
}

module.exports.saveOwnRun = saveOwnRun;
module.exports.loadOwnRun = loadOwnRun;

// The mark a relaunched app creates once it has started well, beside its
// run's record: one per run, so that a mark counts for no other run.
const MARK = /^([0-9a-f]{32})\.healthy$/;

function healthyMarkPath(folder, runId) {
  return path.join(folder, RUNS_FOLDER, `${runId}.healthy`);
}

// Removes the marks whose run id `stale` says so of; a mark that cannot be
// removed now is tried again at the next sweep.
function sweepHealthyMarks(folder, stale) {
  let names;
  try {
    names = fs.readdirSync(path.join(folder, RUNS_FOLDER));
  } catch {
    return;
  }
  for (const name of names) {
    const mark = MARK.exec(name);
    if (!mark || !stale(mark[1])) continue;
    try {
      fs.rmSync(path.join(folder, RUNS_FOLDER, name), { force: true });
    } catch {
      // In use or gone meanwhile.
    }
  }
}

module.exports.healthyMarkPath = healthyMarkPath;
module.exports.sweepHealthyMarks = sweepHealthyMarks;
