// The page's cost of sealing under Node (seal and open per 100 KB, its half of a login's exchange),
// and whole logins against the real agent on loopback: sealed (exchange and both proofs) against the
// code in the clear. With QOVA_SERVER_PATH, the same through the real qova-server, and the latency of
// frames through it to a sealed and a plain viewer logged in side by side (arrival, opened, less the
// moment the frame was written to the agent). Prints medians in milliseconds.
//   QOVA_AGENT_PATH=<agent> [QOVA_SERVER_PATH=<qova-server>] node --experimental-websocket bench/seal_bench.mjs [logins] [frames] [ImageMagick picture, 1280x800]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as seal from '../agent-helper/web/seal.mjs';

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const timed = (runs, work) => median(Array.from({ length: runs }, () => { const t = performance.now(); work(); return performance.now() - t; }));
const timedAsync = async (runs, work) => {
  const times = [];
  for (let i = 0; i < runs; i++) { const t = performance.now(); await work(); times.push(performance.now() - t); }
  return median(times);
};

const key = new Uint8Array(32).fill(7);
const picture = new Uint8Array(100 * 1024).fill(112);
for (const aead of [null, seal.AES_GCM]) {
  const sender = new seal.SealedDirection(key, seal.Direction.agentToPage, aead);
  const receiver = new seal.SealedDirection(key, seal.Direction.agentToPage, aead);
  const took = await timedAsync(200, async () => receiver.open(await sender.seal(picture)));
  console.log(`page: seal+open 100 KB with ${aead || 'chacha20poly1305'} ${took.toFixed(3)} ms`);
}
console.log(`page: its half of the exchange ${timed(50, () => {
  const attempt = seal.startLogin('code1234', seal.LOCAL_CHANNEL);
  const agent = seal.cpaceShare(seal.cpaceGenerator('code1234', seal.prefixFreeCat(seal.LOCAL_CHANNEL), new Uint8Array(16)));
  attempt.answer({ share: Buffer.from(agent.message).toString('hex') }, seal.LOCAL_BINDING);
}).toFixed(3)} ms`);

const home = mkdtempSync(join(tmpdir(), 'qova-seal-bench-'));
const agent = spawn(process.env.QOVA_AGENT_PATH, ['--nogui'], {
  env: { ...process.env, HOME: home, XDG_CONFIG_HOME: '', QOVA_AGENT_LISTEN: '127.0.0.1:0' }, stdio: ['pipe', 'pipe', 'ignore'],
});
let output = '';
await new Promise((resolve) => agent.stdout.on('data', (chunk) => { output += chunk; if (/viewer at/.test(output)) resolve(); }));
const port = output.match(/viewer at http:\/\/127\.0\.0\.1:(\d+)\//)[1];
const code = JSON.parse(readFileSync(join(home, '.config/qova-lumaro-agent/state.json'))).accessCode;

// Resolves with the time from the socket's opening to the login's answer ("auth" ok, sealed or not).
function login(sealed) {
  return new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
    ws.binaryType = 'arraybuffer';
    let start, attempt, answer, proved = false;
    ws.onopen = () => {
      start = performance.now();
      attempt = seal.startLogin(code, seal.LOCAL_CHANNEL);
      ws.send(JSON.stringify(sealed ? attempt.opening : { type: 'auth', code }));
    };
    ws.onmessage = async (event) => {
      if (!sealed) return ws.close(), resolve(performance.now() - start);
      if (typeof event.data === 'string') {
        answer = attempt.answer(JSON.parse(event.data), seal.LOCAL_BINDING);
        return ws.send(JSON.stringify(answer.proof));
      }
      const opened = JSON.parse((await answer.fromAgent.open(event.data)).payload);
      if (!proved) return (proved = attempt.accept(opened));
      ws.close(), resolve(performance.now() - start);
    };
  });
}

const runs = Number(process.argv[2] || 20);
for (const sealed of [false, true]) {
  const times = [];
  // Paced below the guess budget's refill, which a right code gives back anyway.
  for (let i = 0; i < runs; i++) times.push(await login(sealed));
  console.log(`login on loopback ${sealed ? 'sealed' : 'in the clear'}: median ${median(times).toFixed(2)} ms, max ${Math.max(...times).toFixed(2)} ms`);
}
agent.kill();
if (process.env.QOVA_SERVER_PATH) await throughServer();

async function throughServer() {
  const support = await import('../server/tests/support.mjs');  // its port is set once the server listens
  const { dir, children, frameBytes, makeJpeg, line, stop, startServer, startAgent } = support;
  // A small plain picture by default; "plasma:" gives a busy screen's size.
  const jpeg = process.argv[4] ? makeJpeg('1280x800', process.argv[4]) : undefined;
  const { WsClient } = await import('./ws_client.mjs');
  await startServer();
  const agent = startAgent('seal-bench');
  const deviceId = (await line(agent, /\[agent\] connected: server/, 'the agent to register')).split(' ').pop();
  const code = JSON.parse(readFileSync(join(dir, 'seal-bench/.config/qova-lumaro-agent/state.json'))).accessCode;
  // A viewer let in, sealed (with the ciphers it offers besides the first) or not: `took` its login;
  // `next` its next message as the page reads it.
  async function viewer(sealed, aeads = [seal.AES_GCM]) {
    const ws = await WsClient.open(support.port, '/viewer', { origin: `https://127.0.0.1:${support.port}` });
    const start = performance.now();
    const attempt = seal.startLogin(code, deviceId, aeads);
    ws.send(sealed ? { ...attempt.opening, deviceId } : { type: 'auth', deviceId, code });
    let keys = null;
    if (sealed) {
      const share = await ws.next();
      keys = attempt.answer(share, String(share.ticket));
      ws.send(keys.proof);
      const proof = await keys.fromAgent.open(await ws.next());
      if (!attempt.accept(JSON.parse(proof.payload))) throw new Error('the agent did not prove the key');
    }
    const next = async () => {
      const message = await ws.next();
      if (!keys || !Buffer.isBuffer(message)) return message;
      const opened = await keys.fromAgent.open(message);
      return opened.binary ? Buffer.from(opened.payload) : JSON.parse(opened.payload);
    };
    const auth = await next();
    if (auth?.type !== 'auth' || !auth.ok) throw new Error(`not let in: ${JSON.stringify(auth)}`);
    return { ws, next, took: performance.now() - start };
  }
  try {
    for (const sealed of [false, true]) {
      const times = [];
      for (let i = 0; i < runs; i++) { const v = await viewer(sealed); times.push(v.took); v.ws.close(); }
      console.log(`login through the server ${sealed ? 'sealed' : 'in the clear'}: median ${median(times).toFixed(2)} ms, max ${Math.max(...times).toFixed(2)} ms`);
    }
    // One viewer at a time, so none waits behind another's copy of the frame; the three take turns in
    // rounds, so the machine's other work falls on all of them alike. Each frame is written once the
    // last one arrived, so no queue builds up.
    const kinds = { plain: [false], sealed: [true], chacha: [true, []] };
    const latencies = { plain: [], sealed: [], chacha: [] };
    const frames = Number(process.argv[3] || 200);
    for (let round = 0; round < 5; round++) {
      for (const [name, args] of Object.entries(kinds)) {
        const v = await viewer(...args);
        for (let i = 0; i < frames / 5; i++) {
          const written = performance.now();
          agent.stdin.write(frameBytes(jpeg));
          for (let m = 0; m < 20; m++) {
            const message = await v.next();
            if (message === null) throw new Error(`${name} viewer closed`);
            if (Buffer.isBuffer(message)) { latencies[name].push(performance.now() - written); break; }
          }
        }
        v.ws.close();
      }
    }
    const [plain, sealed, chacha] = [median(latencies.plain), median(latencies.sealed), median(latencies.chacha)];
    console.log(`frame through the server (${frameBytes(jpeg).length} bytes): median ${plain.toFixed(2)} ms in the clear, ` +
      `${sealed.toFixed(2)} ms sealed with AES-256-GCM (added ${(sealed - plain).toFixed(2)} ms), ` +
      `${chacha.toFixed(2)} ms with ChaCha20-Poly1305 (added ${(chacha - plain).toFixed(2)} ms)`);
  } finally {
    for (const child of children.reverse()) await stop(child);
    rmSync(dir, { recursive: true, force: true });
  }
}
