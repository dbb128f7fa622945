'use strict';
// electron-builder signs the unpacked programs after it wrote the archive's
// header: a real exe signed with osslsigncode still matches its header entry,
// and any other change to it does not.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const { checkArchive, UpdateError } = require('../lib/update-checks');
const { root, windowsHelper, scratch, writeAsar } = require('./support');

const exe = [windowsHelper, path.join(root, 'build', 'windows', 'vantrell-helper.exe'), path.join(__dirname, '..', 'bin', 'win32-x64', 'vantrell-helper.exe')]
  .find((file) => file && fs.existsSync(file));
const hasTool = (tool) => { try { execFileSync(tool, ['--version'], { stdio: 'ignore' }); return true; } catch (error) { return error.code !== 'ENOENT'; } };
const why = !exe ? 'no Windows build of the helper' : !hasTool('osslsigncode') ? 'no osslsigncode' : !hasTool('openssl') ? 'no openssl' : false;

test('an unpacked program signed after packing matches its header entry; a changed one does not', { skip: why }, async (t) => {
  const dir = scratch(t);
  const run = (tool, args) => execFileSync(tool, args, { cwd: dir, stdio: 'ignore' });
  // A throw-away certificate, as a build machine's PKCS#12.
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'key.pem', '-out', 'cert.pem', '-days', '1', '-subj', '/CN=Throwaway']);
  run('openssl', ['pkcs12', '-export', '-inkey', 'key.pem', '-in', 'cert.pem', '-out', 'cert.p12', '-passout', 'pass:pw']);
  const unsigned = fs.readFileSync(exe);
  run('osslsigncode', ['sign', '-pkcs12', 'cert.p12', '-pass', 'pw', '-h', 'sha256', '-in', exe, '-out', 'signed.exe']);
  const signed = fs.readFileSync(path.join(dir, 'signed.exe'));
  run('osslsigncode', ['sign', '-pkcs12', 'cert.p12', '-pass', 'pw', '-h', 'sha256', '-nest', '-in', 'signed.exe', '-out', 'twice.exe']);
  const changed = (bytes, at) => { const copy = Buffer.from(bytes); copy[at] ^= 1; return copy; };
  const cases = [
    ['as packed', unsigned, null],
    ['signed after packing', signed, null],
    ['signed with a second, nested signature', fs.readFileSync(path.join(dir, 'twice.exe')), null],
    ['signed, one byte of its code changed', changed(signed, 0x1000), /"native\/tool\.exe" has \d+ bytes where the update's header says \d+/],
    ['signed, one byte of its header changed', changed(signed, 0x80), /"native\/tool\.exe" has/],
    ['signed, one byte of its size changed', changed(signed, signed.readUInt32LE(0x3c) + 24 + 144 + 4), /has/],
    ['signed, then a byte added', Buffer.concat([signed, Buffer.alloc(1)]), /has/],
    ['unsigned, one byte changed', changed(unsigned, 0x1000), /differs from the hash/],
  ];
  const update = writeAsar(path.join(dir, 'update.asar'), { 'package.json': '{"version":"1.1.0"}', native: { 'tool.exe': unsigned } }, ['native/tool.exe']);
  for (const [name, bytes, expected] of cases) {
    fs.writeFileSync(path.join(`${update}.unpacked`, 'native', 'tool.exe'), bytes);
    const error = await checkArchive({ currentVersion: '1.0.0' }, update, path.join(dir, 'app.asar')).then(() => null, (e) => e);
    if (expected === null) assert.equal(error, null, name);
    else assert.deepEqual([error instanceof UpdateError, error.code, expected.test(error.message)], [true, 'UNPACKED_MISMATCH', true], `${name}: ${error.message}`);
  }
});
