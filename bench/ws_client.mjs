// A bare WebSocket client over TLS for the benchmarks and tests that play an agent or a viewer the way a
// script would: any path and Origin, any message size, and it reads only when asked.
import { connect as tlsConnect } from 'node:tls';
import { randomBytes, generateKeyPairSync, sign } from 'node:crypto';

export class WsClient {
  // Resolves with the client once upgraded, or with the HTTP status it got instead.
  static open(port, path, { origin, host = '127.0.0.1', from } = {}) {
    return new Promise((resolve) => {
      const client = new WsClient();
      const socket = client.socket = tlsConnect({ host, port, localAddress: from, rejectUnauthorized: false }, () => {
        socket.write(`GET ${path} HTTP/1.1\r\nHost: ${host}:${port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
          `Sec-WebSocket-Key: ${randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n` +
          (origin ? `Origin: ${origin}\r\n` : '') + '\r\n');
      });
      let upgraded = false;
      socket.on('error', () => {});
      socket.on('close', () => { client.closed = true; if (!upgraded) resolve(0); client.wake(); });
      socket.on('data', (chunk) => {
        client.pending = Buffer.concat([client.pending, chunk]);
        if (!upgraded) {
          const end = client.pending.indexOf('\r\n\r\n');
          if (end < 0) return;
          const status = Number(client.pending.subarray(9, 12).toString());
          client.pending = client.pending.subarray(end + 4);
          if (status !== 101) { socket.destroy(); return resolve(status); }
          upgraded = true;
          resolve(client);
        }
        client.wake();
      });
    });
  }

  constructor() { this.pending = Buffer.alloc(0); this.closed = false; this.wake = () => {}; }

  send(message) {
    const binary = Buffer.isBuffer(message);
    this.frame(binary ? 0x82 : 0x81, binary ? message : Buffer.from(typeof message === 'string' ? message : JSON.stringify(message)));
  }

  // A heartbeat, as the agent sends one after a quiet while.
  ping() { this.frame(0x89, Buffer.alloc(0)); }

  frame(first, payload) {
    const length = payload.length < 126 ? [payload.length] : payload.length < 65536 ? [126, payload.length >> 8, payload.length & 255]
      : [127, 0, 0, 0, 0, ...[24, 16, 8, 0].map((s) => (payload.length >>> s) & 255)];
    const mask = randomBytes(4);
    this.socket.write(Buffer.concat([Buffer.from([first, 0x80 | length[0], ...length.slice(1)]), mask,
      payload.map((b, i) => b ^ mask[i & 3])]));
  }

  // The next message (text parsed as JSON, binary as a Buffer), or null once closed or after `timeoutMs`.
  async next(timeoutMs = 10000) {
    const end = Date.now() + timeoutMs;
    for (;;) {
      const message = this.take();
      if (message !== undefined) return message;
      if (this.closed || Date.now() > end) return null;
      await new Promise((done) => {
        const timer = setTimeout(done, Math.max(0, end - Date.now()));
        this.wake = () => { clearTimeout(timer); done(); };
      });
    }
  }

  take() {
    for (;;) {
      const p = this.pending;
      if (p.length < 2) return undefined;
      let length = p[1] & 127, at = 2;
      if (length === 126) { if (p.length < 4) return undefined; length = p.readUInt16BE(2); at = 4; }
      if (length === 127) { if (p.length < 10) return undefined; length = Number(p.readBigUInt64BE(2)); at = 10; }
      if (p.length < at + length) return undefined;
      const opcode = p[0] & 15, payload = p.subarray(at, at + length);
      this.pending = p.subarray(at + length);
      if (opcode === 8) return null;
      if (opcode === 1) return JSON.parse(payload.toString());
      if (opcode === 2) return Buffer.from(payload);
      // pings and pongs: not what a caller waits for, though a ping is answered as the agent would
      if (opcode === 9 && !this.closed) this.frame(0x8a, payload);
    }
  }

  close() { this.socket.destroy(); }
}

// A scripted device: registers `deviceId` with a fresh Ed25519 key, its proof naming the server it
// reached, and leaves answering logins to the caller; `keys` to come back as the same device.
export async function fakeAgent(port, deviceId, from, keys = generateKeyPairSync('ed25519')) {
  const { publicKey, privateKey } = keys;
  const raw = publicKey.export({ format: 'der', type: 'spki' }).subarray(-32).toString('hex');
  const control = await WsClient.open(port, '/agent', { from });
  control.send({ type: 'hello', deviceId, publicKey: raw });
  const { nonce } = await control.next();
  const host = '127.0.0.1', fingerprint = control.socket.getPeerX509Certificate().fingerprint256.replaceAll(':', '').toLowerCase();
  const text = ['qova-device-proof-2', deviceId, nonce, host, fingerprint].join('\n');
  control.send({ type: 'proof', host, fingerprint, signature: sign(null, Buffer.from(text), privateKey).toString('hex') });
  const welcome = await control.next();
  if (welcome?.type !== 'welcome') throw new Error(`not registered: ${JSON.stringify(welcome)}`);
  return control;
}
