#!/usr/bin/env node
'use strict';
// vantrell-sign: makes the Ed25519 key pair an app checks its updates with,
// and signs an update, writing its feed entry. Run on the build machine.

const fs = require('fs');
const path = require('path');
const { generateSigningKeys, signUpdate, signatureHolds, publicKeyOf, updateFields } = require('./update-signature');
const { zipFolder } = require('./zip-writer');
const crypto = require('crypto');

const USAGE = `usage:
  vantrell-sign keys <folder>
      writes <folder>/update-signing-key.pem (the private key, keep it secret)
      and <folder>/update-signing-key.pub.pem (the public key, ship it in the app)
  vantrell-sign sign --key <private.pem> [--out <entry.json>] <update.asar>
      signs the update and prints its feed entry (JSON: version, size, sha512,
      signature); when <update.asar>.unpacked/ exists it is zipped to
      <update.asar>.unpacked.zip and the entry names it
  vantrell-sign verify --public-key <public.pem> --entry <entry.json> <update.asar>
      checks an update against its feed entry as the app will`;

class UsageError extends Error {}

// `--name value` pairs and the one file operand.
function parse(args, names) {
  const given = {};
  const operands = [];
  for (let i = 0; i < args.length; i++) {
    const name = args[i].startsWith('--') ? args[i].slice(2) : null;
    if (name === null) {
      operands.push(args[i]);
      continue;
    }
    if (!names.includes(name)) throw new UsageError(`unknown option --${name}`);
    if (i + 1 >= args.length) throw new UsageError(`--${name} needs a value`);
    given[name] = args[++i];
  }
  if (operands.length !== 1) throw new UsageError(`one file or folder is needed, ${operands.length} given`);
  return { given, operand: operands[0] };
}

function keys(args) {
  const { operand: folder } = parse(args, []);
  fs.mkdirSync(folder, { recursive: true });
  const made = generateSigningKeys();
  const privateFile = path.join(folder, 'update-signing-key.pem');
  const publicFile = path.join(folder, 'update-signing-key.pub.pem');
  // Never over an existing key: updates signed with it would no longer verify.
  fs.writeFileSync(privateFile, made.privateKey, { flag: 'wx', mode: 0o600 });
  fs.writeFileSync(publicFile, made.publicKey, { flag: 'wx' });
  return `${privateFile}\n${publicFile}\n`;
}

const sha512Of = (file) => crypto.createHash('sha512').update(fs.readFileSync(file)).digest('base64');

async function sign(args) {
  const { given, operand: update } = parse(args, ['key', 'out']);
  if (!given.key) throw new UsageError('--key is needed');
  const privateKey = fs.readFileSync(given.key, 'utf8');
  const fields = await updateFields(update);
  if (typeof fields.version !== 'string') throw new Error(`${update} has no package.json with a version`);
  const signature = signUpdate(fields, privateKey);
  // What the app will check, checked here with the key's own public half.
  if (!signatureHolds(fields, signature, [publicKeyOf(crypto.createPublicKey(privateKey))])) throw new Error('the signature just made does not verify');
  const entry = { file: path.basename(update), version: fields.version, size: fields.size, sha512: fields.sha512, signature };
  const unpacked = `${update}.unpacked`;
  if (fs.existsSync(unpacked)) {
    const zip = `${unpacked}.zip`;
    zipFolder(unpacked, zip);
    entry.unpacked = { file: path.basename(zip), size: fs.statSync(zip).size, sha512: sha512Of(zip) };
  }
  const text = `${JSON.stringify(entry, null, 2)}\n`;
  if (given.out) fs.writeFileSync(given.out, text);
  return text;
}

async function verify(args) {
  const { given, operand: update } = parse(args, ['public-key', 'entry']);
  if (!given['public-key'] || !given.entry) throw new UsageError('--public-key and --entry are needed');
  const entry = JSON.parse(fs.readFileSync(given.entry, 'utf8'));
  const fields = await updateFields(update);
  const problems = ['version', 'size', 'sha512'].filter((name) => fields[name] !== entry[name]).map((name) => `its ${name} is ${fields[name]}, the entry says ${entry[name]}`);
  if (problems.length > 0) throw new Error(`${update} is not the update of the entry: ${problems.join('; ')}`);
  if (!signatureHolds(fields, entry.signature, [publicKeyOf(fs.readFileSync(given['public-key'], 'utf8'))])) {
    throw new Error(`the entry's signature is not the key's over ${update}`);
  }
  return `${update}: signature valid\n`;
}

const COMMANDS = { keys, sign, verify };

async function main(argv) {
  const [command, ...args] = argv;
  if (!Object.hasOwn(COMMANDS, command)) throw new UsageError(command ? `unknown command ${command}` : 'a command is needed');
  process.stdout.write(await COMMANDS[command](args));
}

if (require.main === module) {
  main(process.argv.slice(2)).catch((error) => {
    process.stderr.write(`vantrell-sign: ${error.message}\n`);
    if (error instanceof UsageError) process.stderr.write(`${USAGE}\n`);
    process.exitCode = error instanceof UsageError ? 2 : 1;
  });
}

module.exports = { main };
