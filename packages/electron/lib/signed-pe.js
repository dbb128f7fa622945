'use strict';
// A Windows program signed after its archive was written. electron-builder
// writes the asar header first and signs the unpacked .exe files afterwards;
// Authenticode signing appends a certificate table (after padding the file to
// 8 bytes) and changes two fields of the PE header: the checksum and the
// security data directory. The bytes as they were before signing are thus
// known from the signed file and the size the header gives: everything up to
// that size, with the directory entry emptied and the checksum as the linker
// left it (none, or the file's own). Nothing looser passes: any other
// difference changes the hash.

const crypto = require('crypto');

const WIN_CERT_REVISION_2_0 = 0x0200;
const WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

// Where the checksum and the security directory entry sit, or null when
// `bytes` is no PE image with a security directory.
function peFields(bytes) {
  if (bytes.length < 0x40 || bytes.readUInt16LE(0) !== 0x5a4d) return null;
  const pe = bytes.readUInt32LE(0x3c);
  if (pe + 24 + 2 > bytes.length || bytes.readUInt32LE(pe) !== 0x00004550) return null;
  const optional = pe + 24;
  const optionalSize = bytes.readUInt16LE(pe + 20);
  const magic = bytes.readUInt16LE(optional);
  const layout = magic === 0x10b ? { count: 92, directories: 96 } : magic === 0x20b ? { count: 108, directories: 112 } : null;
  if (layout === null || optionalSize < layout.directories + 5 * 8 || optional + optionalSize > bytes.length) return null;
  if (bytes.readUInt32LE(optional + layout.count) < 5) return null;
  return { checksum: optional + 64, security: optional + layout.directories + 4 * 8 };
}

// The PE checksum of `bytes` (its own checksum field counted as 0).
function peChecksum(bytes, checksumAt) {
  let sum = 0;
  for (let i = 0; i < bytes.length; i += 2) {
    if (i === checksumAt || i === checksumAt + 2) continue;
    sum += i + 1 < bytes.length ? bytes.readUInt16LE(i) : bytes[i];
    sum = (sum & 0xffff) + (sum >>> 16);
  }
  sum = (sum & 0xffff) + (sum >>> 16);
  return (sum + bytes.length) >>> 0;
}

// The bytes `signed` had before it was signed, when it is a PE image that
// was `size` bytes long and then signed, nothing else changed; else null.
function unsignedForm(signed, size) {
  const fields = peFields(signed);
  if (fields === null || size > signed.length || fields.security + 8 > size) return null;
  const tableAt = signed.readUInt32LE(fields.security);
  const tableSize = signed.readUInt32LE(fields.security + 4);
  // The table is the file's last part, right after the padding to 8 bytes.
  if (tableAt % 8 !== 0 || tableAt < size || tableAt - size >= 8 || tableAt + tableSize !== signed.length) return null;
  if (signed.subarray(size, tableAt).some((byte) => byte !== 0)) return null;
  // Every certificate entry of the table, each padded to 8 bytes.
  for (let at = tableAt; at < signed.length; ) {
    if (at + 8 > signed.length) return null;
    const length = signed.readUInt32LE(at);
    if (length < 8 || at + length > signed.length) return null;
    if (signed.readUInt16LE(at + 4) !== WIN_CERT_REVISION_2_0 || signed.readUInt16LE(at + 6) !== WIN_CERT_TYPE_PKCS_SIGNED_DATA) return null;
    at += Math.ceil(length / 8) * 8;
  }
  const unsigned = Buffer.from(signed.subarray(0, size));
  unsigned.writeUInt32LE(0, fields.security);
  unsigned.writeUInt32LE(0, fields.security + 4);
  return { bytes: unsigned, checksumAt: fields.checksum };
}

// Whether `signed` is, but for its signature, the file of `size` bytes whose
// SHA-256 is `sha256Hex` (or of any content when no hash is known).
function signedAfterPacking(signed, size, sha256Hex) {
  const form = unsignedForm(signed, size);
  if (form === null) return false;
  if (sha256Hex == null) return true;
  const wanted = sha256Hex.toLowerCase();
  // The linker left the checksum empty, or wrote the file's own.
  for (const checksum of [0, peChecksum(form.bytes, form.checksumAt)]) {
    form.bytes.writeUInt32LE(checksum, form.checksumAt);
    if (crypto.createHash('sha256').update(form.bytes).digest('hex') === wanted) return true;
  }
  return false;
}

module.exports = { signedAfterPacking, unsignedForm, peChecksum };
