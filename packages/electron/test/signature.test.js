'use strict';
// Signed updates: what vantrell-sign writes is what the package accepts, and
// an update whose version, size, digest or signature was changed, or which
// another key signed, is refused before anything starts.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');
const { generateSigningKeys, signUpdate, updateFields } = require('../lib/update-signature');
const { nativeHelper, scratch, writeAsar, fakeElectronApp } = require('./support');

const command = path.join(__dirname, '..', 'lib', 'sign-command.js');
const sign = (...args) => execFileSync(process.execPath, [command, ...args], { encoding: 'utf8' });

// An installation at 1.0.0 and a 1.1.0 update with a native module, signed
// by the command with a fresh key pair.
async function signedRelease(t, { viaCommand = true } = {}) {
  const dir = scratch(t);
  const keys = path.join(dir, 'keys');
  if (viaCommand) sign('keys', keys);
  else {
    const made = generateSigningKeys();
    fs.mkdirSync(keys);
    fs.writeFileSync(path.join(keys, 'update-signing-key.pem'), made.privateKey);
    fs.writeFileSync(path.join(keys, 'update-signing-key.pub.pem'), made.publicKey);
  }
  writeAsar(path.join(dir, 'app.asar'), { 'package.json': JSON.stringify({ version: '1.0.0' }) });
  const update = writeAsar(path.join(dir, 'update.asar'), { 'package.json': JSON.stringify({ version: '1.1.0' }), 'addon.node': 'native 1.1.0' }, ['addon.node']);
  const entry = viaCommand
    ? JSON.parse(sign('sign', '--key', path.join(keys, 'update-signing-key.pem'), '--out', path.join(dir, 'entry.json'), update))
    : await updateFields(update);
  if (!viaCommand) entry.signature = signUpdate(entry, fs.readFileSync(path.join(keys, 'update-signing-key.pem'), 'utf8'));
  return {
    dir,
    update,
    entry,
    privateKey: fs.readFileSync(path.join(keys, 'update-signing-key.pem'), 'utf8'),
    publicKey: fs.readFileSync(path.join(keys, 'update-signing-key.pub.pem'), 'utf8'),
  };
}

// Every check of an update, with nothing started: staging it.
function stage(release, options) {
  const app = fakeElectronApp();
  const base = { app, updateAsar: release.update, appAsar: path.join(release.dir, 'app.asar'), dataFolder: path.join(release.dir, 'data'), currentVersion: '1.0.0', helperPath: nativeHelper || 'none' };
  return helper.stageAsarUpdate({ ...base, publicKey: release.publicKey, sha512: release.entry.sha512, signature: release.entry.signature, ...options }).finally(() => helper.cancelStagedUpdate());
}

test('the signing command\'s output is accepted by the package, and its zip unpacks to what the header lists', { skip: !nativeHelper }, async (t) => {
  const release = await signedRelease(t);
  const { entry } = release;
  const fields = await updateFields(release.update);
  assert.deepEqual([entry.version, entry.size, entry.sha512], [fields.version, fields.size, fields.sha512]);
  assert.equal(entry.unpacked.file, 'update.asar.unpacked.zip');
  assert.match(sign('verify', '--public-key', path.join(release.dir, 'keys', 'update-signing-key.pub.pem'), '--entry', path.join(release.dir, 'entry.json'), release.update), /signature valid/);

  // The app downloads the archive and the zip, and unpacks the zip beside the archive with the helper.
  const shipped = `${release.update}.unpacked`;
  fs.rmSync(shipped, { recursive: true });
  await helper.extractZip({ zip: `${shipped}.zip`, out: shipped, helperPath: nativeHelper });
  const staged = await stage(release, {});
  assert.equal(staged.version, '1.1.0');
  // A key list (a key being changed) takes a signature by any of them.
  const other = crypto.generateKeyPairSync('ed25519').publicKey;
  assert.equal((await stage(release, { publicKey: [other, release.publicKey] })).version, '1.1.0');

  // The documented message is what is signed: openssl checks it without this package.
  const message = path.join(release.dir, 'message');
  fs.writeFileSync(message, `vantrell-helper update signature v1\nversion=1.1.0\nsize=${entry.size}\nsha512=${Buffer.from(entry.sha512, 'base64').toString('hex')}\n`);
  fs.writeFileSync(path.join(release.dir, 'signature'), Buffer.from(entry.signature, 'base64'));
  const pub = path.join(release.dir, 'keys', 'update-signing-key.pub.pem');
  execFileSync('openssl', ['pkeyutl', '-verify', '-pubin', '-inkey', pub, '-rawin', '-in', message, '-sigfile', path.join(release.dir, 'signature')]);
});

test('a tampered update, or one signed with another key, is refused with SIGNATURE_INVALID', async (t) => {
  const release = await signedRelease(t, { viaCommand: false });
  const { entry, privateKey } = release;
  const resign = (changed) => signUpdate({ version: entry.version, size: entry.size, sha512: entry.sha512, ...changed }, privateKey);
  const otherKey = crypto.generateKeyPairSync('ed25519').privateKey;
  const flipped = Buffer.from(entry.signature, 'base64');
  flipped[17] ^= 0x01;
  // A second 1.1.0 build: a valid archive with its own digest, under the first one's signature.
  const swapped = writeAsar(path.join(release.dir, 'swapped.asar'), { 'package.json': JSON.stringify({ version: '1.1.0' }), 'addon.node': 'native 1.1.0', 'evil.js': '1' }, ['addon.node']);
  const swappedSha512 = crypto.createHash('sha512').update(fs.readFileSync(swapped)).digest('base64');
  const cases = [
    ['signed over another version', { signature: resign({ version: '1.1.1' }) }],
    ['signed over another size', { signature: resign({ size: entry.size + 1 }) }],
    ['signed over another digest', { signature: resign({ sha512: crypto.createHash('sha512').update('x').digest('base64') }) }],
    ['a signature byte changed', { signature: flipped.toString('base64') }],
    ['signed with another key', { signature: signUpdate({ version: entry.version, size: entry.size, sha512: entry.sha512 }, otherKey) }],
    ['another archive with its own digest', { updateAsar: swapped, sha512: swappedSha512 }],
    ['no signature', { signature: undefined }],
    ['no digest', { sha512: undefined }],
    ['a signature that is no base64 of 64 bytes', { signature: 'AAAA' }],
  ];
  for (const [name, options] of cases) {
    await t.test(name, async () => {
      const error = await stage(release, options).then(() => null, (e) => e);
      assert.ok(error instanceof helper.UpdateError, String(error));
      assert.equal(error.code, 'SIGNATURE_INVALID', error.message);
      // applyAsarUpdate refuses it as well, before a helper is looked for.
      const applied = await helper.applyAsarUpdate({ updateAsar: release.update, appAsar: path.join(release.dir, 'app.asar'), currentVersion: '1.0.0', publicKey: release.publicKey, sha512: entry.sha512, signature: entry.signature, helperPath: path.join(release.dir, 'none'), ...options }).then(() => null, (e) => e);
      assert.equal(applied && applied.code, 'SIGNATURE_INVALID', String(applied));
    });
  }
  // A key of another kind is the app's mistake, not the update's.
  const rsa = crypto.generateKeyPairSync('rsa', { modulusLength: 1024 }).publicKey;
  await assert.rejects(stage(release, { publicKey: rsa }), (e) => e instanceof TypeError && /not an Ed25519 key/.test(e.message));
});
