// Servers as one through Redis, on loopback:
// 1. what a session through a second server adds: the real agent on server a, one viewer logged in
//    on a and one on c, the time from a frame given to the agent to its arrival at each (median);
// 2. how soon N scripted agents on a are reachable again through b after a is killed (each comes
//    back after 0.5 to 1 s, as the agent does), and what they cost: memory per idle agent on a
//    server and in Redis.
//   QOVA_SERVER_PATH=build/server/qova-server QOVA_AGENT_PATH=<agent> node bench/server_cluster_bench.mjs [frames] [agents]
import { execFileSync } from 'node:child_process';
import { readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { generateKeyPairSync } from 'node:crypto';
import { sleep } from '../tests/e2e/harness.mjs';
import { AGENT, dir, children, frameBytes, makeJpeg, line, stop, startAgent, freePort, startRedis, startClusterServer } from '../server/tests/support.mjs';
import { WsClient, fakeAgent } from './ws_client.mjs';

const frames = Number(process.argv[2] || 100);
const agents = Number(process.argv[3] || 500);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const rssKb = (pid) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
const [redisPort, ...ports] = await Promise.all([freePort(), freePort(), freePort(), freePort()]);
const redisMemory = () => Number(execFileSync('redis-cli', ['-p', String(redisPort), 'info', 'memory']).toString().match(/used_memory:(\d+)/)[1]);

try {
  await startRedis(redisPort);
  const a = await startClusterServer('a', ports[0], redisPort, ['--self-signed', '--new-devices-per-minute', '100000']);
  const tls = ['--cert', join(dir, 'a', 'cert.pem'), '--key', join(dir, 'a', 'key.pem')];
  const b = await startClusterServer('b', ports[1], redisPort, tls);
  const c = await startClusterServer('c', ports[2], redisPort, tls);

  // 1. Same run, same frames: through a alone, and through c then a.
  const agent = startAgent('bench-agent', { server: `wss://127.0.0.1:${ports[0]}`, pin: a.fingerprint });
  const deviceId = (await line(agent, /\[agent\] connected: server/, 'the agent')).split(' ').pop();
  const code = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'bench-agent') } }).toString().match(/验证码: (\S+)/)[1];
  const viewers = {};
  for (const [name, p] of [['same server', ports[0]], ['cross server', ports[2]]]) {
    const viewer = viewers[name] = await WsClient.open(p, '/viewer', { origin: `https://127.0.0.1:${p}` });
    viewer.send({ type: 'auth', deviceId, code });
    if ((await viewer.next())?.ok !== true) throw new Error(`${name}: not logged in`);
  }
  await line(agent, /"action":"start"/, 'capture to start');
  // A busy picture (about 400 KB) and a plain desktop's.
  for (const picture of ['plasma:', 'gradient:']) {
  const jpeg = makeJpeg('1280x800', picture);
  Object.values(viewers).forEach((v) => { v.times = []; });
  for (let i = 0; i < frames; i++) {
    const sent = performance.now();
    agent.stdin.write(frameBytes(jpeg));
    await Promise.all(Object.values(viewers).map(async (v) => {
      for (let m; (m = await v.next(5000)) !== null;) if (Buffer.isBuffer(m)) return v.times.push(performance.now() - sent);
    }));
    await sleep(20);
  }
  const [same, cross] = Object.values(viewers).map((v) => median(v.times.slice(5)));
  console.log(`frame ${jpeg.length} bytes: same server median ${same.toFixed(2)} ms, cross server ${cross.toFixed(2)} ms, ` +
    `added ${(cross - same).toFixed(2)} ms (${frames} frames)`);
  }
  Object.values(viewers).forEach((v) => v.close());
  await stop(agent);

  // 2. N agents on a, from many loopback addresses (new devices have a budget per address).
  const before = { a: rssKb(a.pid), redis: redisMemory() };
  const ids = Array.from({ length: agents }, (_, i) => String(100000000 + i));
  const keys = ids.map(() => generateKeyPairSync('ed25519'));
  const from = (i) => `127.0.${1 + Math.floor(i / 250)}.${2 + (i % 250)}`;
  const controls = [];
  for (let i = 0; i < agents; i += 50) controls.push(...await Promise.all(ids.slice(i, i + 50).map((id, j) => fakeAgent(ports[0], id, from(i + j), keys[i + j]))));
  await sleep(1000);
  console.log(`${agents} idle agents: ${((rssKb(a.pid) - before.a) / agents).toFixed(1)} KiB each on their server, ` +
    `${((redisMemory() - before.redis) / agents).toFixed(0)} bytes each in redis`);
  const killed = performance.now();
  const back = [];
  process.kill(-a.pid, 'SIGKILL');
  await Promise.all(ids.map(async (id, i) => {
    await sleep(500 + Math.random() * 500);
    for (let tries = 0; tries < 10; tries++) {
      try { controls[i] = await fakeAgent(ports[1], id, from(i), keys[i]); back.push(performance.now() - killed); return; } catch (e) { if (tries === 9) console.log(e.message); await sleep(1000); }
    }
  }));
  console.log(`server killed: ${back.length} of ${agents} agents on another server, the last after ${(Math.max(...back) / 1000).toFixed(2)} s ` +
    `(median ${(median(back) / 1000).toFixed(2)} s)`);
  controls.forEach((control) => control.close());
  void b; void c;
} finally {
  for (const child of children.reverse()) await stop(child);
  rmSync(dir, { recursive: true, force: true });
}
