'use strict';
// What an update must pass before the helper is started: each refusal with its
// code, against a fake helper that records how it was run; and the readers
// behind them (asar header, fuse wire, versions) on hostile input.
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { AsarArchive } = require('../lib/asar');
const { asarIntegrityFuse, SENTINEL, CHUNK_BYTES } = require('../lib/fuses');
const { compareVersions } = require('../lib/semver');
const { scratch, poll, writeAsar } = require('./support');

// Records its arguments; a repair takes a while and deletes the journal; an
// update runs until the release file exists. It starts as the helper does
// (its log path on standard output, then "Run <id> started" in the log),
// unless FAKE_START makes it end at once or stay silent.
const FAKE_HELPER = `#!${process.execPath}
const fs = require('fs');
const args = process.argv.slice(2);
const note = (value) => fs.appendFileSync(process.env.FAKE_RECORD, JSON.stringify(value) + '\\n');
const log = process.env.XDG_DATA_HOME + '/vantrell/update-log.txt';
if (process.env.FAKE_START === 'exit') process.exit(127);
fs.mkdirSync(log.slice(0, log.lastIndexOf('/')), { recursive: true });
process.stdout.write(log + '\\n');
if (args.includes('--runId') && process.env.FAKE_START !== 'silent') {
  const line = (text) => fs.appendFileSync(log, 'INFO  (' + process.pid + ') Run ' + args[args.indexOf('--runId') + 1] + text + '\\n');
  line(' started');
  process.on('exit', (status) => line(' ended, exit status ' + status));
}
note(args);
if (process.env.FAKE_START === 'silent') {
  note({ pid: process.pid });
  setInterval(() => {}, 1000);
} else if (args[0] === '--repair') {
  const status = process.env.FAKE_REPAIR_STATUS;
  setTimeout(() => { if (status !== 'kept') fs.rmSync(args[2] + '.vantrell-journal'); note('repaired'); process.exit(Number(status) || 0); }, 300);
} else {
  const until = Date.now() + 10000;
  const released = fs.existsSync(process.env.FAKE_RELEASE); // its folder may be gone when it looks again
  const wait = () => released || fs.existsSync(process.env.FAKE_RELEASE) || Date.now() > until || setTimeout(wait, 20);
  setTimeout(wait, 80); // the app sees it running first

}
`;

// Fuse index 4 is the asar integrity validation.
const wire = (fuse, length = 7) => [...Buffer.from(`1101${fuse}11`).subarray(0, length)];
function fakeExecutable(file, wires, at = CHUNK_BYTES - 10, size = CHUNK_BYTES + 4096) {
  const bytes = Buffer.alloc(size, 0x90);
  for (const [version, fuses] of wires) {
    Buffer.concat([SENTINEL, Buffer.from([version, fuses.length, ...fuses])]).copy(bytes, at);
    at += 200;
  }
  fs.writeFileSync(file, bytes);
  return file;
}

test('the asar integrity fuse is read from the executable', async (t) => {
  const dir = scratch(t);
  const cases = [
    ['no fuse wire', [], undefined, 'off'],
    ['off, across a chunk boundary', [[1, wire('0')]], undefined, 'off'],
    ['on, across a chunk boundary', [[1, wire('1')]], undefined, 'on'],
    ['on, its length byte in the next chunk', [[1, wire('1')]], CHUNK_BYTES - 33, 'on'],
    ['on, its wire in the next chunk', [[1, wire('1')]], CHUNK_BYTES - 36, 'on'],
    ['a wire too short to hold it', [[1, wire('1', 4)]], undefined, 'off'],
    ['the second of two wires on', [[1, wire('0')], [1, wire('1')]], undefined, 'on'],
    ['an unknown wire version', [[2, wire('0')]], undefined, /version 2/],
    ['a wire cut off by the end of the file', [[1, wire('1')]], CHUNK_BYTES + 4096 - 34, 'off'],
  ];
  for (const [name, wires, at, expected] of cases) {
    const state = await asarIntegrityFuse(fakeExecutable(path.join(dir, 'app.exe'), wires, at));
    if (expected instanceof RegExp) assert.match(state, expected, name);
    else assert.equal(state, expected, name);
  }
});

test('versions are ordered by the semantic versioning rules', () => {
  const pairs = [
    ['1.0.0', '1.0.0', 0], ['1.0.1', '1.0.0', 1], ['1.10.0', '1.9.0', 1], ['2.0.0', '10.0.0', -1],
    ['1.0.0-alpha', '1.0.0', -1], ['1.0.0-alpha', '1.0.0-alpha.1', -1], ['1.0.0-alpha.1', '1.0.0-alpha.beta', -1],
    ['1.0.0-alpha.beta', '1.0.0-beta', -1], ['1.0.0-beta.2', '1.0.0-beta.11', -1], ['1.0.0-rc.1', '1.0.0-beta.11', 1],
    ['1.0.0+build.5', '1.0.0+build.6', 0], ['9007199254740993.0.0', '9007199254740992.0.0', 1], ['1.0.0-x-1', '1.0.0-x', 1],
  ];
  assert.deepEqual(pairs.map(([a, b]) => [a, b, compareVersions(a, b)]), pairs);
  for (const bad of ['01.0.0', '1.0', 'v1.0.0', '1.0.0-', '1.0.0-01', '1.0.0+', '1.0.0-a..b', ' 1.0.0']) {
    assert.throws(() => compareVersions(bad, '1.0.0'), /not a semantic version/, bad);
  }
});

test('asar headers that lead out of the archive or do not add up are refused', (t) => {
  const dir = scratch(t);
  const framed = (json, payloadDelta = 0, lengthDelta = 0) => {
    const text = Buffer.from(typeof json === 'string' ? json : JSON.stringify(json));
    const pickle = Buffer.alloc(8 + Math.ceil(text.length / 4) * 4);
    pickle.writeUInt32LE(pickle.length - 4 + payloadDelta, 0);
    pickle.writeUInt32LE(text.length + lengthDelta, 4);
    text.copy(pickle, 8);
    return Buffer.concat([Buffer.from(new Uint32Array([4, pickle.length]).buffer), pickle, Buffer.alloc(16)]);
  };
  const file = (size, more) => ({ size, ...more });
  const deep = `${'{"files":{"d":'.repeat(20000)}{"files":{"f":{"size":1,"unpacked":true}}}${'}}'.repeat(20000)}`;
  const cases = [
    ['a dot-dot name', { files: { '..': file(1, { unpacked: true }) } }, /entry name "\.\." is not allowed/],
    ['a name with a separator', { files: { d: { files: { 'a/b': file(1, { offset: '0' }) } } } }, /entry name "d\/a\/b" is not allowed/],
    ['an offset that is a number', { files: { f: file(1, { offset: 0 }) } }, /file "f" has no valid offset/],
    ['an offset past 2^53', { files: { f: file(1, { offset: '9007199254740993' }) } }, /no valid offset/],
    ['a negative size', { files: { f: file(-1, { offset: '0' }) } }, /file "f" has no valid size/],
    ['a folder whose files are a list', { files: { d: { files: [] } } }, /folder "d" lists no files/],
    ['a payload size that disagrees', framed({ files: {} }, 4), /header sizes do not agree/],
    ['a string longer than its pickle', framed({ files: {} }, 0, 8), /header sizes do not agree/],
    ['folders nested 20000 deep', deep, null],
  ];
  for (const [name, header, expected] of cases) {
    const target = path.join(dir, 'x.asar');
    fs.writeFileSync(target, Buffer.isBuffer(header) ? header : framed(header));
    if (expected) assert.throws(() => new AsarArchive(target), expected, name);
    else assert.equal(new AsarArchive(target).unpacked[0].segments.length, 20001, name); // its descriptor ends with the test
  }
});

const UPDATE_TREE = { 'package.json': '{"version":"1.1.0"}', 'main.js': 'new', native: { 'addon.node': 'addon v2', 'extra.node': 'extra' } };
const UNPACKED = ['native/addon.node', 'native/extra.node'];
const hash = (file, encoding) => crypto.createHash('sha512').update(fs.readFileSync(file)).digest(encoding);
const cutTo = (bytes) => (update) => fs.truncateSync(update, bytes(update));
const headerEnd = (update) => fs.readFileSync(update).readUInt32LE(4) + 8;
// What the fake helper recorded: whole lines only (one may be half written).
const record = () => fs.existsSync(process.env.FAKE_RECORD) && fs.readFileSync(process.env.FAKE_RECORD, 'utf8').split('\n').slice(0, -1).map((line) => JSON.parse(line));

// The fake helper of the case before ends at once, but its end is only seen a moment later.
async function applyOnceFree(options) {
  for (const until = Date.now() + 10000; ; await new Promise((resolve) => setTimeout(resolve, 20))) {
    const outcome = await helper.applyAsarUpdate(options).then((started) => ({ started }), (error) => ({ error }));
    if (outcome.started) return outcome.started;
    if (outcome.error.code !== 'UPDATE_PENDING' || Date.now() > until) throw outcome.error;
  }
}

test('an update is refused before anything starts when it could leave the app unable to start', async (t) => {
  const dir = scratch(t);
  const fake = path.join(dir, 'fake-helper');
  fs.writeFileSync(fake, FAKE_HELPER, { mode: 0o755 });
  Object.assign(process.env, { FAKE_RECORD: path.join(dir, 'record'), FAKE_RELEASE: path.join(dir, 'release'), FAKE_REPAIR_STATUS: '0' });
  fs.writeFileSync(process.env.FAKE_RELEASE, '');
  const fuseOff = fakeExecutable(path.join(dir, 'off.exe'), [[1, wire('0')]]);
  const fuseOn = fakeExecutable(path.join(dir, 'on.exe'), [[1, wire('1')]]);
  // [name, { tree, ship, installed, change(update, app), options }, expected: 'started' | code | error pattern]
  const cases = [
    ['a matching sha512 in hex', { options: (u) => ({ sha512: hash(u, 'hex').toUpperCase() }) }, 'started'],
    ['a matching sha512 in base64', { options: (u) => ({ sha512: hash(u, 'base64') }) }, 'started'],
    ['a wrong sha512 in hex', { options: () => ({ sha512: 'ab'.repeat(64) }) }, ['CHECKSUM_MISMATCH', /SHA-512 is [0-9a-f]{128}, not the expected (ab){64}/]],
    ['a wrong sha512 in base64', { options: () => ({ sha512: Buffer.alloc(64, 7).toString('base64') }) }, 'CHECKSUM_MISMATCH'],
    ['a sha512 that is neither', { options: (u) => ({ sha512: hash(u, 'hex').slice(2) }) }, ['SHA512_INVALID', /sha512 must be the base64 of a SHA-512 digest/]],
    ['cut off after its header', { change: cutTo(headerEnd) }, 'UPDATE_TRUNCATED'],
    ['one byte short', { change: cutTo((u) => fs.statSync(u).size - 1) }, 'UPDATE_TRUNCATED'],
    ['the asar integrity fuse on', { options: () => ({ executablePath: fuseOn }) }, ['ASAR_INTEGRITY_ENFORCED', /would not start again.*full installer update/]],
    ['a shipped file changed, same size', { change: (u) => fs.writeFileSync(`${u}.unpacked/native/addon.node`, 'addon v3') }, ['UNPACKED_MISMATCH', /"native\/addon\.node" differs from the hash/]],
    ['a shipped file of another size', { change: (u) => fs.writeFileSync(`${u}.unpacked/native/extra.node`, 'ex') }, ['UNPACKED_MISMATCH', /"native\/extra\.node" has 2 bytes where the update's header says 5/]],
    ['a shipped file missing', { change: (u) => fs.rmSync(`${u}.unpacked/native/extra.node`) }, ['UNPACKED_MISMATCH', /"native\/extra\.node" is missing in .*update\.asar\.unpacked; ship the update's unpacked folder beside it, as .*update\.asar\.unpacked\//]],
    ['a link for a shipped file', { change: (u) => { fs.renameSync(`${u}.unpacked/native/addon.node`, `${u}.a`); fs.symlinkSync(`${u}.a`, `${u}.unpacked/native/addon.node`); } }, ['UNPACKED_MISMATCH', /"native\/addon\.node" cannot be opened \(ELOOP\)/]],
    ['none shipped: the installed file is the old one', { ship: false }, ['UNPACKED_MISMATCH', /"native\/addon\.node" differs .* in .*app\.asar\.unpacked; ship .*update\.asar\.unpacked\//]],
    ['none shipped: an added file is not installed', { ship: false, installed: { 'addon.node': 'addon v2' } }, ['UNPACKED_MISMATCH', /"native\/extra\.node" is missing/]],
    ['none shipped: a file no longer listed stays installed', { ship: false, installed: { 'addon.node': 'addon v2', 'extra.node': 'extra', 'gone.node': 'x' } }, 'started'],
    ['the same version', { options: () => ({ currentVersion: '1.1.0' }) }, 'NOT_NEWER'],
    ['an older version', { options: () => ({ currentVersion: '1.2.0-beta.1' }) }, 'NOT_NEWER'],
    ['a prerelease of the running version', { tree: { ...UPDATE_TREE, 'package.json': '{"version":"1.0.0-rc.1"}' } }, 'NOT_NEWER'],
    ['a prerelease of the next version', { tree: { ...UPDATE_TREE, 'package.json': '{"version":"1.1.0-rc.1"}' } }, 'started'],
    ['no package.json', { tree: { ...UPDATE_TREE, 'package.json': undefined } }, 'NOT_NEWER'],
    ['an older version, allowed', { options: () => ({ currentVersion: '2.0.0', allowDowngrade: true }) }, 'started'],
    ['no running version known', { options: () => ({ currentVersion: undefined }) }, [undefined, /currentVersion is needed/]],
    ['an interrupted update: repaired first', { change: (u, app) => fs.writeFileSync(`${app}.vantrell-journal`, 'j'), before: (app) => [['--repair', '--appAsar', app], 'repaired'] }, 'started'],
    ['an interrupted update left as it was', { repairStatus: 'kept', change: (u, app) => fs.writeFileSync(`${app}.vantrell-journal`, 'j') }, ['REPAIR_FAILED', /was not repaired: its journal is still there/]],
    // The app quits only once the helper runs and has taken the update over.
    ['a helper the system cannot run', { start: 'exit' }, ['HELPER_NOT_STARTED', /ended with status 127 .*before it took the update over; the app was not asked to quit$/]],
    ['a helper that never takes over', { start: 'silent', options: () => ({ startTimeoutMs: 300 }) }, ['HELPER_NOT_STARTED', /did not write "Run [0-9a-f]{32} started" to its log within 300 ms; it was ended/]],
    ['a helper that is not there', { options: (u) => ({ helperPath: `${u}.none` }) }, ['HELPER_NOT_STARTED', /vantrell-helper not found/]],
    ['an interrupted update that cannot be repaired', { repairStatus: 5, change: (u, app) => fs.writeFileSync(`${app}.vantrell-journal`, 'j') }, ['FILE_SYSTEM_FAILED', /status 5/]],
  ];
  for (const [index, [name, arrange, expected]] of cases.entries()) {
    const folder = path.join(dir, String(index));
    const updateAsar = writeAsar(path.join(folder, 'update.asar'), JSON.parse(JSON.stringify(arrange.tree || UPDATE_TREE)), UNPACKED);
    const appAsar = writeAsar(path.join(folder, 'app.asar'), { 'package.json': '{"version":"1.0.0"}' });
    fs.mkdirSync(`${appAsar}.unpacked/native`, { recursive: true });
    for (const [file, text] of Object.entries(arrange.installed || { 'addon.node': 'addon v1' })) fs.writeFileSync(`${appAsar}.unpacked/native/${file}`, text);
    if (arrange.ship === false) fs.rmSync(`${updateAsar}.unpacked`, { recursive: true });
    if (arrange.change) arrange.change(updateAsar, appAsar);
    process.env.FAKE_REPAIR_STATUS = String(arrange.repairStatus || 0);
    process.env.FAKE_START = arrange.start || '';
    fs.rmSync(process.env.FAKE_RECORD, { force: true });
    const options = { updateAsar, appAsar, helperPath: fake, executablePath: fuseOff, currentVersion: '1.0.0', ...(arrange.options ? arrange.options(updateAsar) : {}) };
    const outcome = await applyOnceFree(options).then(() => 'started', (error) => error);
    if (expected === 'started') {
      const runs = await poll(() => { const r = record(); return r && r.at(-1)?.[0] === '--update' && r; }, name);
      const update = runs.at(-1);
      assert.deepEqual(update.slice(update.indexOf('--appAsar'), update.indexOf('--updateAsar') + 2), ['--appAsar', appAsar, '--updateAsar', updateAsar], name);
      assert.equal(update.includes('--sha512') && update[update.indexOf('--sha512') + 1], options.sha512 ? hash(updateAsar, 'hex') : false, name);
      assert.deepEqual(runs.slice(0, -1), arrange.before ? arrange.before(appAsar) : [], name);
    } else {
      const [code, pattern] = Array.isArray(expected) ? expected : typeof expected === 'string' ? [expected, /./] : [undefined, expected];
      assert.notEqual(outcome, 'started', name);
      assert.deepEqual([outcome.code, pattern.test(outcome.message)], [code, true], `${name}: ${outcome.message}`);
      assert.ok(outcome instanceof helper.UpdateError || outcome instanceof helper.HelperError || code === undefined, `${name}: ${outcome.name}`);
      // A silent helper was ended: none is left to act once the app quits.
      if (arrange.start !== 'silent') assert.ok((record() || []).every((run) => run[0] !== '--update'), `${name}: no update ran`);
      else await poll(() => { try { process.kill(record()[1].pid, 0); } catch { return true; } }, `${name}: the helper ended`);
    }
  }
});

test('a second update while one is pending is refused until its helper ends', async (t) => {
  const dir = scratch(t);
  const fake = path.join(dir, 'fake-helper');
  fs.writeFileSync(fake, FAKE_HELPER, { mode: 0o755 });
  Object.assign(process.env, { FAKE_RECORD: path.join(dir, 'record'), FAKE_RELEASE: path.join(dir, 'release') });
  const options = {
    updateAsar: writeAsar(path.join(dir, 'update.asar'), { 'package.json': '{"version":"1.1.0"}' }),
    appAsar: writeAsar(path.join(dir, 'app.asar'), { 'package.json': '{"version":"1.0.0"}' }),
    helperPath: fake,
    executablePath: fakeExecutable(path.join(dir, 'off.exe'), []),
    currentVersion: '1.0.0',
  };
  await applyOnceFree(options);
  await poll(() => record(), 'the first helper');
  const refused = await helper.applyAsarUpdate(options).then(() => null, (error) => error);
  assert.deepEqual([refused.name, refused.code], ['UpdateError', 'UPDATE_PENDING']);
  fs.writeFileSync(process.env.FAKE_RELEASE, '');
  await applyOnceFree(options);
  await poll(() => record().length === 2, 'the second helper');
});

test('two running instances: the second is refused while the first one\'s helper runs, and each reads its own run', async (t) => {
  const dir = scratch(t);
  const fake = path.join(dir, 'fake-helper');
  fs.writeFileSync(fake, FAKE_HELPER, { mode: 0o755 });
  Object.assign(process.env, { FAKE_RECORD: path.join(dir, 'record'), FAKE_RELEASE: path.join(dir, 'release'), FAKE_START: '' });
  const install = (name) => fs.mkdirSync(path.join(dir, name)) || ({
    updateAsar: writeAsar(path.join(dir, name, 'update.asar'), { 'package.json': '{"version":"1.1.0"}' }),
    appAsar: writeAsar(path.join(dir, name, 'app.asar'), { 'package.json': '{"version":"1.0.0"}' }),
    helperPath: fake,
    executablePath: fakeExecutable(path.join(dir, 'off.exe'), []),
    currentVersion: '1.0.0',
    dataFolder: path.join(dir, 'userData'),
  });
  const options = install('app');
  // Instance A asks for the update and quits; its helper keeps running.
  const script = `require(${JSON.stringify(path.join(__dirname, '..'))}).applyAsarUpdate(${JSON.stringify(options)}).then((r) => process.stdout.write(JSON.stringify(r)))`;
  const a = JSON.parse(execFileSync(process.execPath, ['-e', script], { encoding: 'utf8' }));
  // (The helper of the test before, in this process, may still be ending.)
  const refused = {};
  for (const until = Date.now() + 10000; Date.now() < until; await new Promise((resolve) => setTimeout(resolve, 20))) {
    refused.error = await helper.applyAsarUpdate(options).then(() => null, (e) => e);
    if (!/already pending; quit the app/.test(refused.error && refused.error.message)) break;
  }
  assert.deepEqual([refused.error && refused.error.name, refused.error && refused.error.code], ['UpdateError', 'UPDATE_PENDING']);
  assert.match(refused.error.message, /another process of this app is updating the same installation/);
  // Another installation is not held by it.
  const other = await applyOnceFree({ ...install('other'), dataFolder: path.join(dir, 'otherData') });
  fs.writeFileSync(process.env.FAKE_RELEASE, '');
  const b = await applyOnceFree(options);
  assert.notEqual(b.runId, a.runId);
  // Each instance reads its own run: this one the run it started, the one A's
  // helper relaunches (the run id in its environment) A's.
  assert.equal(helper.lastResult({ dataFolder: options.dataFolder }).runId, b.runId);
  const relaunched = `process.stdout.write(String(require(${JSON.stringify(path.join(__dirname, '..'))}).lastResult({ dataFolder: ${JSON.stringify(options.dataFolder)} }).runId))`;
  const asRelaunched = execFileSync(process.execPath, ['-e', relaunched], { encoding: 'utf8', env: { ...process.env, VANTRELL_HELPER_RUN_ID: a.runId } });
  assert.deepEqual([asRelaunched, other.runId !== a.runId], [a.runId, true]);
});
