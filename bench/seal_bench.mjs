// The page's cost of sealing under Node (seal and open per 100 KB, its half of a login's exchange),
// and whole logins against the real agent on loopback: sealed (exchange and both proofs) against the
// code in the clear. Prints medians in milliseconds.
//   QOVA_AGENT_PATH=<agent> node --experimental-websocket bench/seal_bench.mjs [logins]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as seal from '../agent-helper/web/seal.mjs';

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const timed = (runs, work) => median(Array.from({ length: runs }, () => { const t = performance.now(); work(); return performance.now() - t; }));

const key = new Uint8Array(32).fill(7);
const picture = new Uint8Array(100 * 1024).fill(112);
const sender = new seal.SealedDirection(key, seal.Direction.agentToPage);
const receiver = new seal.SealedDirection(key, seal.Direction.agentToPage);
console.log(`page: seal+open 100 KB ${timed(200, () => receiver.open(sender.seal(picture))).toFixed(3)} ms`);
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
    ws.onmessage = (event) => {
      if (!sealed) return ws.close(), resolve(performance.now() - start);
      if (typeof event.data === 'string') {
        answer = attempt.answer(JSON.parse(event.data), seal.LOCAL_BINDING);
        return ws.send(JSON.stringify(answer.proof));
      }
      const opened = JSON.parse(answer.fromAgent.open(event.data).payload);
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
