'use strict';
// Ed25519 signatures over an update, with Node's own crypto. The feed's
// SHA-512 only shows that the download was not cut off: whoever serves the
// feed can serve a matching digest for anything. A signature made with a key
// the app carries shows that the vendor released exactly this update.
//
// The signed message is this ASCII text, each line ending in one "\n":
//
//   vantrell-helper update signature v1
//   version=<the version in the archive's package.json>
//   size=<the archive's size in bytes, decimal, no leading zeros>
//   sha512=<the archive's SHA-512, 128 lower-case hex digits>
//
// A version may only hold the characters of a semantic version (letters,
// digits, '.', '+', '-'), so no field can run into the next one.

const fs = process.versions.electron ? require('original-fs') : require('fs');
const crypto = require('crypto');
const { AsarArchive } = require('./asar');
const { UpdateError, sha512Hex } = require('./update-checks');

const PREFIX = 'vantrell-helper update signature v1\n';
const VERSION_TEXT = /^[0-9A-Za-z.+-]{1,256}$/;
const PACKAGE_JSON_LIMIT = 1024 * 1024;

// The exact bytes that are signed; throws a TypeError for a field that could
// be read in two ways.
function signedMessage({ version, size, sha512 }) {
  if (typeof version !== 'string' || !VERSION_TEXT.test(version)) {
    throw new TypeError(`the version to sign is not a semantic version's text: ${JSON.stringify(version)}`);
  }
  if (!Number.isSafeInteger(size) || size < 0) throw new TypeError(`the size to sign is not a whole number of bytes: ${size}`);
  return Buffer.from(`${PREFIX}version=${version}\nsize=${size}\nsha512=${sha512Hex(sha512)}\n`, 'ascii');
}

// A public key as the app carries it: PEM text (what `vantrell-sign keys`
// writes) or a KeyObject; only Ed25519 keys are taken.
function publicKeyOf(key) {
  let object;
  try {
    object = key instanceof crypto.KeyObject ? key : crypto.createPublicKey(key);
  } catch (error) {
    throw new TypeError(`publicKey is not a public key in PEM form: ${error.message}`);
  }
  if (object.type === 'private') object = crypto.createPublicKey(object);
  if (object.asymmetricKeyType !== 'ed25519') throw new TypeError(`publicKey is a ${object.asymmetricKeyType} key, not an Ed25519 key`);
  return object;
}

function privateKeyOf(key) {
  const object = key instanceof crypto.KeyObject ? key : crypto.createPrivateKey(key);
  if (object.type !== 'private' || object.asymmetricKeyType !== 'ed25519') throw new TypeError('the signing key is not an Ed25519 private key');
  return object;
}

// { publicKey, privateKey } as PEM text (SPKI and PKCS#8).
function generateSigningKeys() {
  const { publicKey, privateKey } = crypto.generateKeyPairSync('ed25519');
  return {
    publicKey: publicKey.export({ type: 'spki', format: 'pem' }),
    privateKey: privateKey.export({ type: 'pkcs8', format: 'pem' }),
  };
}

// The signature, base64 of its 64 bytes.
function signUpdate(fields, privateKey) {
  return crypto.sign(null, signedMessage(fields), privateKeyOf(privateKey)).toString('base64');
}

const SIGNATURE_TEXT = /^[A-Za-z0-9+/]{86}==$/;

// True when `signature` (base64) is one of `publicKeys`' over the fields.
function signatureHolds(fields, signature, publicKeys) {
  if (typeof signature !== 'string' || !SIGNATURE_TEXT.test(signature)) return false;
  const bytes = Buffer.from(signature, 'base64');
  const message = signedMessage(fields);
  return publicKeys.some((key) => crypto.verify(null, message, key, bytes));
}

// The version and size the update archive itself gives.
function archiveFields(updateAsar) {
  const archive = new AsarArchive(updateAsar, 'the update archive');
  try {
    let version;
    try {
      version = JSON.parse(archive.readFile('package.json', PACKAGE_JSON_LIMIT).toString('utf8')).version;
    } catch {
      version = undefined;
    }
    return { version, size: archive.size };
  } finally {
    archive.close();
  }
}

const refuse = (reason) => new UpdateError('SIGNATURE_INVALID', `the update is refused: ${reason}`);

// With options.publicKey (one key or a list, for a key being changed),
// refuses an update unless options.signature is an Ed25519 signature by one of
// them over the archive's version and size and options.sha512. The bytes are
// held to sha512 by the archive's own check and again by the helper as it
// copies them, so the signature covers what is installed.
function checkSignature(options) {
  if (options.publicKey == null) return;
  const keys = (Array.isArray(options.publicKey) ? options.publicKey : [options.publicKey]).map(publicKeyOf);
  if (keys.length === 0) throw new TypeError('publicKey is an empty list');
  if (options.sha512 == null) throw refuse('an app with a publicKey installs only updates with their sha512 and signature, and sha512 is missing');
  if (options.signature == null) throw refuse('an app with a publicKey installs only signed updates, and signature is missing');
  const { version, size } = archiveFields(options.updateAsar);
  const shown = `version ${JSON.stringify(version)}, ${size} bytes, SHA-512 ${sha512Hex(options.sha512)}`;
  if (typeof version !== 'string' || !VERSION_TEXT.test(version)) throw refuse(`its package.json holds no version that could be signed (${shown})`);
  if (!signatureHolds({ version, size, sha512: options.sha512 }, options.signature, keys)) {
    throw refuse(`the signature is not one of the app's keys over ${shown}: ${options.updateAsar}`);
  }
}

// The fields of a file to sign: its version (from package.json inside it),
// size and SHA-512 (base64, as feeds write it).
async function updateFields(updateAsar) {
  const { version } = archiveFields(updateAsar);
  const hash = crypto.createHash('sha512');
  let size = 0;
  for await (const chunk of fs.createReadStream(updateAsar)) {
    hash.update(chunk);
    size += chunk.length;
  }
  return { version, size, sha512: hash.digest('base64') };
}

module.exports = { PREFIX, signedMessage, generateSigningKeys, signUpdate, signatureHolds, publicKeyOf, checkSignature, updateFields, archiveFields };
