'use strict';
// Install on quit: an update checked now is recorded in the app's data folder
// and installed when the app quits on its own, with no relaunch. The record
// says how far it got, so that the next start can tell an update installed at
// the quit from one the app never got to install (it crashed, was killed, or
// called app.exit()): that one is dropped, or staged again, explicitly.
//
// The record lies in a folder the user can write, so it is never trusted:
// staging it again runs every check again with the keys the app passes.

const crypto = require('crypto');
const fs = process.versions.electron ? require('original-fs') : require('fs');
const path = require('path');
const { dataFolder, saveRun } = require('./run-record');
const { UpdateError } = require('./update-checks');
const { archiveFields } = require('./update-signature');
const { reporterOf } = require('./update-progress');

const RECORD_NAME = 'vantrell-helper-staged.json';
// Which app run staged it: a record of another run is stale.
const SESSION = crypto.randomBytes(16).toString('hex');
// The options an update is staged with that say what to install; the rest
// (keys, callbacks, paths of this installation) come from the app each time.
const RECORDED = ['updateAsar', 'appAsar', 'sha512', 'signature', 'elevate', 'allowDowngrade', 'sleepMs'];
// Checks and the helper's start, at the quit; the app's quit waits this long
// at most, and then goes on without the update.
const QUIT_INSTALL_LIMIT_MS = 60000;

function recordFile(folder) {
  return path.join(folder, RECORD_NAME);
}

// Written aside and renamed over the record, as a run's record is.
function writeRecord(folder, record) {
  saveRun(folder, record, RECORD_NAME);
}

function readRecord(folder) {
  let record;
  try {
    record = JSON.parse(fs.readFileSync(recordFile(folder), 'utf8'));
  } catch {
    return null;
  }
  const isRecord = record !== null && typeof record === 'object' && typeof record.session === 'string' && record.options && typeof record.options.updateAsar === 'string';
  return isRecord ? record : null;
}

function removeRecord(folder) {
  fs.rmSync(recordFile(folder), { force: true });
}

function appOf(options) {
  if (options.app != null) return options.app;
  try {
    const { app } = require('electron');
    if (app && typeof app.on === 'function') return app;
  } catch {
    // Not Electron's main process.
  }
  throw new TypeError("app is needed where Electron's app is not available");
}

// A process id that was reused keeps a stale record until that process ends; a later start settles it.
function isRunning(pid) {
  if (!Number.isSafeInteger(pid) || pid <= 0 || pid === process.pid) return false;
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

// What the app is told about a staged update.
const described = (record) => ({ updateAsar: record.options.updateAsar, version: record.version ?? null, stagedAt: record.stagedAt });

function staging({ applyAsarUpdate, checkUpdate, helperPath, lastResult }) {
  // This run's staged update: its options, its folder and the app it quits with.
  let current = null;
  // 'idle', then 'installing' while the quit is held, then 'done'.
  let quitState = 'idle';

  async function installAtQuit(staged) {
    let timer;
    const limit = new Promise((resolve, reject) => {
      timer = setTimeout(() => reject(new Error(`the update was not started within ${QUIT_INSTALL_LIMIT_MS / 1000} s of the quit`)), QUIT_INSTALL_LIMIT_MS);
    });
    // Another instance of the app may have staged over this one's record meanwhile: that one is its to tell.
    const ours = () => {
      const record = readRecord(staged.folder);
      return record === null || record.session === SESSION;
    };
    try {
      const started = await Promise.race([applyAsarUpdate({ ...staged.options, relaunch: false }), limit]);
      if (ours()) writeRecord(staged.folder, { ...staged.record, state: 'started', runId: started.runId });
    } catch (error) {
      // An update started by the app itself (or another instance) is already on its way.
      if (!ours()) return;
      if (error && error.code === 'UPDATE_PENDING') removeRecord(staged.folder);
      else writeRecord(staged.folder, { ...staged.record, state: 'failed', error: String(error && error.message), code: (error && error.code) || null });
    } finally {
      clearTimeout(timer);
    }
  }

  // The quit is held until the helper has started (or could not be), then
  // repeated; the repeat passes through, a quit asked for meanwhile waits.
  function onWillQuit(event) {
    if (quitState === 'done' || current === null) return;
    event.preventDefault();
    if (quitState === 'installing') return;
    const staged = current;
    quitState = 'installing';
    installAtQuit(staged).finally(() => {
      quitState = 'done';
      staged.app.quit();
    });
  }

  async function stageAsarUpdate(options) {
    options = options || {};
    if (options.relaunch) throw new TypeError('a staged update is installed when the app quits on its own and never relaunches it; use applyAsarUpdate to install and relaunch');
    const folder = dataFolder(options);
    if (!folder) throw new TypeError('dataFolder is needed outside Electron: the staged update is recorded there');
    const app = appOf(options);
    if (quitState !== 'idle') throw new UpdateError('UPDATE_PENDING', 'the app is quitting and installing its staged update');
    const reporter = reporterOf(options);
    if (reporter) reporter.step('checking');
    await checkUpdate({ ...options, relaunch: false });
    // A helper missing now would be missed only at the quit, where no one hears of it.
    helperPath(options);
    const { version } = archiveFields(options.updateAsar);
    const record = { session: SESSION, pid: process.pid, stagedAt: Date.now(), state: 'staged', version: typeof version === 'string' ? version : null, options: {} };
    for (const name of RECORDED) if (options[name] !== undefined) record.options[name] = options[name];
    writeRecord(folder, record);
    if (current === null || current.app !== app) {
      if (current !== null) current.app.removeListener('will-quit', onWillQuit);
      app.on('will-quit', onWillQuit);
    }
    current = { options: { ...options, relaunch: false }, folder, app, record };
    if (reporter) reporter.step('staged', { updateAsar: options.updateAsar });
    return described(record);
  }

  // Drops this run's staged update; true when there was one.
  function cancelStagedUpdate() {
    if (current === null || quitState !== 'idle') return false;
    current.app.removeListener('will-quit', onWillQuit);
    removeRecord(current.folder);
    current = null;
    return true;
  }

  // At start: what became of an update staged by an earlier run. Null when
  // none was staged (or it is this run's own).
  async function settleStagedUpdate(options) {
    options = options || {};
    const folder = dataFolder(options);
    if (!folder) throw new TypeError('dataFolder is needed outside Electron: the staged update is recorded there');
    const record = readRecord(folder);
    // This run's own, or one of another instance of the app that is still running.
    if (record === null || record.session === SESSION || (record.state === 'staged' && isRunning(record.pid))) return null;
    const update = described(record);
    if (record.state === 'started') {
      removeRecord(folder);
      const result = lastResult({ dataFolder: folder, logPath: options.logPath });
      return { action: 'installed', update, result: result && result.runId === record.runId ? result : null };
    }
    // A run started after the staging is this update's, started at the quit
    // by a process that ended before it could say so.
    const last = record.state === 'staged' ? lastResult({ dataFolder: folder, logPath: options.logPath }) : null;
    if (last && Number.isFinite(record.stagedAt) && last.startedAt >= record.stagedAt) {
      removeRecord(folder);
      return { action: 'installed', update, result: last };
    }
    if (record.state === 'failed') {
      removeRecord(folder);
      return { action: 'dropped', update, error: `the update could not be started when the app quit: ${record.error}`, code: record.code ?? null };
    }
    if (options.apply) {
      const { apply, ...rest } = options;
      void apply;
      try {
        // What to install comes from the record; everything the app gives wins.
        const recorded = Object.fromEntries(RECORDED.filter((name) => Object.hasOwn(record.options, name)).map((name) => [name, record.options[name]]));
        return { action: 'restaged', update: await stageAsarUpdate({ ...recorded, ...rest }) };
      } catch (error) {
        removeRecord(folder);
        return { action: 'dropped', update, error: `the update could not be staged again: ${error.message}`, code: error.code ?? null };
      }
    }
    removeRecord(folder);
    return { action: 'dropped', update, error: 'the app ended without quitting on its own, so the staged update was not installed', code: null };
  }

  return { stageAsarUpdate, cancelStagedUpdate, settleStagedUpdate };
}

module.exports = { staging, RECORD_NAME };
