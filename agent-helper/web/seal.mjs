// The page's end of the sealing with the agent: CPace over ristretto255 on the access code, key
// confirmation, then an AEAD on every message, each direction with its own key and a counter in the
// nonce. Mirrors common/pake.cpp and common/seal.cpp. The exchange and ChaCha20-Poly1305 are pure
// JavaScript from audited libraries, as the local page may be opened over plain http from another
// machine, where browsers withhold crypto.subtle; where it is there, the page offers AES-256-GCM,
// which the browser does natively several times faster (opening then answers a promise).
import { ristretto255, ristretto255_hasher } from '@noble/curves/ed25519.js';
import { sha256, sha512 } from '@noble/hashes/sha2.js';
import { hmac } from '@noble/hashes/hmac.js';
import { chacha20poly1305 } from '@noble/ciphers/chacha.js';
import { bytesToHex, hexToBytes, concatBytes, randomBytes, utf8ToBytes } from '@noble/hashes/utils.js';

const Point = ristretto255.Point;
const DSI = utf8ToBytes('CPaceRistretto255');
const HASH_BLOCK_BYTES = 128;
const SID_BYTES = 16;
const TEXT = 0x74;
const BINARY = 0x62;
export const LOCAL_CHANNEL = 'local page';
export const LOCAL_BINDING = 'local page';
export const Direction = { pageToAgent: 1, agentToPage: 2 };
export const AES_GCM = 'aes256gcm';
const subtle = globalThis.crypto?.subtle;

const bytesOf = (value) => (typeof value === 'string' ? utf8ToBytes(value) : value);

function lengthPrefix(length) {
  const out = [];
  do {
    const low = length & 0x7f;
    length = Math.floor(length / 128);
    out.push(length ? low | 0x80 : low);
  } while (length);
  return Uint8Array.from(out);
}

export function prefixFreeCat(...parts) {
  return concatBytes(...parts.flatMap((part) => [lengthPrefix(bytesOf(part).length), bytesOf(part)]));
}

function scalarFromBytes(bytes) {
  let n = 0n;
  for (let i = bytes.length - 1; i >= 0; i--) n = (n << 8n) | BigInt(bytes[i]);
  return Point.Fn.create(n);
}

export function cpaceGenerator(prs, ci, sid) {
  prs = bytesOf(prs);
  const used = lengthPrefix(prs.length).length + prs.length + lengthPrefix(DSI.length).length + DSI.length + 1;
  const zeros = new Uint8Array(Math.max(0, HASH_BLOCK_BYTES - used));
  return ristretto255_hasher.deriveToCurve(sha512(prefixFreeCat(DSI, prs, zeros, bytesOf(ci), sid)));
}

// `scalar` (32 bytes, little endian) only for known-answer tests; otherwise a fresh uniform one.
export function cpaceShare(generator, ad = new Uint8Array(0), scalar = null) {
  const y = scalar ? scalarFromBytes(scalar) : scalarFromBytes(randomBytes(64));
  return { scalar: y, message: prefixFreeCat(generator.multiply(y).toBytes(), bytesOf(ad)) };
}

function shareOf(message) {
  if (message.length < 34 || message[0] !== 32) return null;
  let adLength = 0;
  for (let at = 33, shift = 0; at < message.length && shift < 28; shift += 7) {
    const byte = message[at++];
    adLength += (byte & 0x7f) * 2 ** shift;
    if (!(byte & 0x80)) return at + adLength === message.length ? message.subarray(1, 33) : null;
  }
  return null;
}

// null when the peer's message is malformed, no valid point, or the shared point is the identity.
export function cpaceIsk(scalar, sid, initiatorMessage, responderMessage, weAreInitiator) {
  const share = shareOf(weAreInitiator ? responderMessage : initiatorMessage);
  if (!share) return null;
  let shared;
  try { shared = Point.fromBytes(share).multiply(scalar); } catch { return null; }
  if (shared.is0()) return null;
  const dsiIsk = concatBytes(DSI, utf8ToBytes('_ISK'));
  return sha512(concatBytes(prefixFreeCat(dsiIsk, sid, shared.toBytes()), initiatorMessage, responderMessage));
}

const hkdfBlock = (prk, info) => hmac(sha256, prk, concatBytes(utf8ToBytes(info), Uint8Array.of(1)));

// `aead` null for ChaCha20-Poly1305, else the other cipher's name: keys of one never serve the other.
export function deriveKeys(isk, binding, aead = null) {
  const salt = aead ? prefixFreeCat('qova viewer seal 1', binding, aead) : prefixFreeCat('qova viewer seal 1', binding);
  const prk = hmac(sha256, salt, isk);
  return {
    pageConfirm: hkdfBlock(prk, 'page confirm'), agentConfirm: hkdfBlock(prk, 'agent confirm'),
    pageToAgent: hkdfBlock(prk, 'page to agent'), agentToPage: hkdfBlock(prk, 'agent to page'),
  };
}

export const confirmTag = (key, initiatorMessage, responderMessage) => hmac(sha256, key, prefixFreeCat(initiatorMessage, responderMessage));

function equalBytes(a, b) {
  if (a.length !== b.length || a.length === 0) return false;
  let difference = 0;
  for (let i = 0; i < a.length; i++) difference |= a[i] ^ b[i];
  return difference === 0;
}

// One direction of the channel; after one failure nothing opens any more. With AES-256-GCM, seal and
// open answer promises; each takes its place in the sequence when called, so call them in order.
export class SealedDirection {
  constructor(key, direction, aead = null) {
    this.key = key;
    this.direction = direction;
    this.counter = 0;
    this.broken = false;
    if (aead === AES_GCM) {
      this.webKey = subtle.importKey('raw', key, 'AES-GCM', false, ['encrypt', 'decrypt']);
      this.opening = Promise.resolve();
    }
  }

  nonce() {
    const nonce = new Uint8Array(12);
    nonce[3] = this.direction;
    new DataView(nonce.buffer).setBigUint64(4, BigInt(this.counter), false);
    return nonce;
  }

  // A string leaves as text, bytes (Uint8Array or ArrayBuffer) as binary.
  seal(payload) {
    const binary = typeof payload !== 'string';
    const body = binary ? new Uint8Array(payload) : utf8ToBytes(payload);
    const plain = new Uint8Array(body.length + 1);
    plain[0] = binary ? BINARY : TEXT;
    plain.set(body, 1);
    const iv = this.nonce();
    this.counter++;
    if (this.webKey) return this.webKey.then((key) => subtle.encrypt({ name: 'AES-GCM', iv }, key, plain)).then((b) => new Uint8Array(b));
    return chacha20poly1305(this.key, iv).encrypt(plain);
  }

  // {binary, payload} (payload a string for text, a Uint8Array for binary), or null.
  open(sealed) {
    if (this.webKey) {
      const iv = this.nonce();
      this.counter++;
      this.opening = this.opening.then(async () => {
        if (this.broken) return null;
        let plain;
        try { plain = new Uint8Array(await subtle.decrypt({ name: 'AES-GCM', iv }, await this.webKey, sealed)); } catch { plain = null; }
        return this.opened(plain);
      });
      return this.opening;
    }
    if (this.broken) return null;
    let plain;
    try { plain = chacha20poly1305(this.key, this.nonce()).decrypt(new Uint8Array(sealed)); } catch { plain = null; }
    const opened = this.opened(plain);
    if (opened) this.counter++;
    return opened;
  }

  opened(plain) {
    if (!plain || plain.length < 1 || (plain[0] !== TEXT && plain[0] !== BINARY)) {
      this.broken = true;
      return null;
    }
    const payload = plain.subarray(1);
    return plain[0] === BINARY ? { binary: true, payload } : { binary: false, payload: new TextDecoder().decode(payload) };
  }
}

// The page's side of one login: `opening` to send; `answer(reply)` takes the agent's share and gives
// the proof to send and the two sealed directions; `accept(confirmation)` checks the agent's proof,
// the first message it seals. Nothing may be trusted before that holds.
// `aeads`: the ciphers offered besides ChaCha20-Poly1305, which needs no offer.
export function startLogin(code, channel, aeads = subtle ? [AES_GCM] : []) {
  const sid = randomBytes(SID_BYTES);
  const mine = cpaceShare(cpaceGenerator(code, prefixFreeCat(channel), sid));
  let expected = null;
  const opening = { type: 'seal', version: 1, sid: bytesToHex(sid), share: bytesToHex(mine.message) };
  if (aeads.length) opening.aead = aeads;
  return {
    opening,
    // null when the agent's share is unusable: that is no agent of ours.
    answer(reply, binding) {
      let agentMessage;
      try { agentMessage = hexToBytes(String(reply.share)); } catch { return null; }
      const aead = reply.aead === undefined ? null : reply.aead;
      if (aead !== null && !aeads.includes(aead)) return null;
      const isk = cpaceIsk(mine.scalar, sid, mine.message, agentMessage, true);
      if (!isk) return null;
      const keys = deriveKeys(isk, binding, aead);
      expected = confirmTag(keys.agentConfirm, mine.message, agentMessage);
      return {
        proof: { type: 'seal', confirm: bytesToHex(confirmTag(keys.pageConfirm, mine.message, agentMessage)) },
        toAgent: new SealedDirection(keys.pageToAgent, Direction.pageToAgent, aead),
        fromAgent: new SealedDirection(keys.agentToPage, Direction.agentToPage, aead),
      };
    },
    accept(confirmation) {
      let tag;
      try { tag = hexToBytes(String(confirmation.confirm)); } catch { return false; }
      return confirmation.type === 'seal' && expected !== null && equalBytes(tag, expected);
    },
  };
}
