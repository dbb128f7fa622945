'use strict';
// What `npm pack` would put into the tarball: everything the code needs,
// nothing of the tests, a README that tells every code, a LICENSE that is the
// one the manifest names.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const test = require('node:test');
const helper = require('..');

const packageDir = path.join(__dirname, '..');
const manifest = JSON.parse(fs.readFileSync(path.join(packageDir, 'package.json'), 'utf8'));
const packed = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: packageDir, encoding: 'utf8' }))[0];
const files = packed.files.map((file) => file.path);
const read = (file) => fs.readFileSync(path.join(packageDir, file), 'utf8');

test('the tarball holds the code, its types, README and LICENSE, and nothing of the tests', () => {
  const lib = fs.readdirSync(path.join(packageDir, 'lib')).map((name) => `lib/${name}`);
  for (const file of ['package.json', 'README.md', 'LICENSE', manifest.main, manifest.types, ...lib]) {
    assert.ok(files.includes(file), `${file} is not packed`);
  }
  const unwanted = files.filter((file) => /^(test|node_modules)\/|^\.npmrc$|^package-lock\.json$/.test(file));
  assert.deepEqual(unwanted, []);
});

test('every module the packed code requires is packed or a dependency', () => {
  const dependencies = Object.keys(manifest.dependencies || {});
  for (const file of files.filter((name) => name.endsWith('.js'))) {
    for (const [, wanted] of read(file).matchAll(/require\('([^']+)'\)/g)) {
      if (wanted.startsWith('.')) {
        const target = path.posix.normalize(path.posix.join(path.posix.dirname(file), wanted));
        const candidates = [target, `${target}.js`, `${target}/index.js`].map((name) => name.replace(/^\.\//, ''));
        assert.ok(candidates.some((name) => files.includes(name)), `${file} requires ${wanted}, which is not packed`);
      } else {
        const builtin = require('node:module').builtinModules.includes(wanted.replace(/^node:/, '')) || wanted === 'original-fs' || wanted === 'electron'; // the runtime's own
        const name = wanted.startsWith('@') ? wanted.split('/').slice(0, 2).join('/') : wanted.split('/')[0];
        assert.ok(builtin || dependencies.includes(name), `${file} requires ${wanted}, which is no dependency`);
      }
    }
  }
});

test('the LICENSE is the licence the manifest names', () => {
  const titles = { MIT: /^MIT License\n/ };
  assert.ok(titles[manifest.license], `no known text for ${manifest.license}`);
  assert.match(read('LICENSE'), titles[manifest.license]);
});

test('every code the package gives is declared and in the README', () => {
  const statuses = [null, -1, 4294967295, ...Array.from({ length: 300 }, (_, status) => status)];
  const given = [...new Set(statuses.map(helper.statusCode).filter((code) => code !== null))].sort();
  const declaredIn = (type) => [...read('index.d.ts').split(`export type ${type} =`)[1].split(';')[0].matchAll(/^ {2}\| '([A-Z0-9_]+)'/gm)].map((match) => match[1]);
  assert.deepEqual(declaredIn('HelperErrorCode').sort(), given);
  const refusals = declaredIn('UpdateErrorCode');
  // Every refusal the code makes, with its code given literally or from a table.
  const thrown = files.filter((file) => file.endsWith('.js')).flatMap((file) => [...read(file).matchAll(/UpdateError\(\s*'([A-Z0-9_]+)'|: '([A-Z0-9_]+)'/g)].map((m) => m[1] || m[2]));
  assert.deepEqual([...new Set(thrown)].filter((code) => !refusals.includes(code)), []);
  const documented = [...read('README.md').matchAll(/^\| `([A-Z0-9_]+)` \|/gm)].map((match) => match[1]).sort();
  assert.deepEqual(documented, [...given, ...refusals].sort());
});
