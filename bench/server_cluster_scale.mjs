// Servers as one at scale: three servers and one Redis on this machine (loopback, 2 shared cores).
// 1. N idle agents (10,000) spread over the three, registered and heartbeating as the agent does:
//    each server's resident memory and Redis's used memory, in all and per agent;
// 2. logins a second: viewers on c logging in to devices on a and b (passed on to the device's
//    server), and viewers logging in on the device's own server, in the same run, taking turns
//    with the same number at once: logins/s, median and p90 from dialling to being let through.
// Scripted agents and viewers, each from an address of its own in 127.0.0.0/8 (budgets and caps are
// per address; a right code spends none). Needs `ulimit -n` above N plus a few hundred.
//   QOVA_SERVER_PATH=build/server/qova-server node bench/server_cluster_scale.mjs [agents] [at once,...] [seconds]
import { execFileSync } from 'node:child_process';
import { readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { generateKeyPairSync } from 'node:crypto';
import { sleep } from '../tests/e2e/harness.mjs';
import { dir, children, stop, freePort, startRedis, startClusterServer } from '../server/tests/support.mjs';
import { WsClient, fakeAgent } from './ws_client.mjs';

const agents = Number(process.argv[2] || 10000);
const atOnce = (process.argv[3] || '8,32').split(',').map(Number);
const seconds = Number(process.argv[4] || 15);
const CODE = 'right-code';
const kHeartbeatSeconds = 15;
const kTurns = 5;
const quantile = (values, q) => [...values].sort((x, y) => x - y)[Math.min(values.length - 1, Math.floor(values.length * q))];
const rssKb = (pid) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
const mb = (kb) => (kb / 1024).toFixed(0);
const [redisPort, ...ports] = await Promise.all([freePort(), freePort(), freePort(), freePort()]);
const redisMemory = () => Number(execFileSync('redis-cli', ['-p', String(redisPort), 'info', 'memory']).toString().match(/used_memory:(\d+)/)[1]);
const agentAddress = (i) => `127.0.${1 + Math.floor(i / 250)}.${2 + (i % 250)}`;
const viewerAddress = (i) => `127.1.${Math.floor(i / 250)}.${2 + (i % 250)}`;

// A device reading what its server sends (answering its pings) and letting in whoever brings the
// right code: the answer, then its session connection.
async function serveLogins(device) {
  for (let m; (m = await device.control.next(1e9)) !== null;) {
    if (m.type !== 'login') continue;
    device.control.send({ type: 'login-result', ticket: m.ticket, ok: m.code === CODE });
    if (m.code !== CODE) continue;
    const session = await WsClient.open(ports[device.server], '/session', { from: device.from });
    if (typeof session === 'number') continue;
    session.send({ type: 'join', deviceId: device.id, ticket: m.ticket });
    session.send({ type: 'auth', ok: true });
  }
}

// From dialling the server to being let through, in ms; or what came instead.
async function login(port, deviceId, from) {
  const started = performance.now();
  const viewer = await WsClient.open(port, '/viewer', { origin: `https://127.0.0.1:${port}`, from });
  if (typeof viewer === 'number') return { refused: `HTTP ${viewer}` };
  viewer.send({ type: 'auth', deviceId, code: CODE });
  const answer = await viewer.next(15000);
  viewer.close();
  return answer?.ok === true ? performance.now() - started : { refused: JSON.stringify(answer) };
}

// `atOnce` viewers logging in again and again for `ms`, each to the next device in turn.
async function loginRun(kind, targets, atOnce, ms) {
  let next = 0;
  const end = performance.now() + ms;
  await Promise.all(Array.from({ length: atOnce }, async (_, worker) => {
    while (performance.now() < end) {
      const device = targets[next++ % targets.length];
      const result = await login(kind.viewerPort(device), device.id, viewerAddress(worker));
      if (typeof result === 'number') kind.times.push(result);
      else kind.refusals.set(result.refused, (kind.refusals.get(result.refused) ?? 0) + 1);
    }
  }));
}

// The two kinds take turns, a few seconds each, so a machine busy with other work weighs on both alike.
async function loginRuns(targets, atOnce) {
  const kinds = [{ name: 'same server (a to a, b to b)', viewerPort: (d) => ports[d.server] },
    { name: 'across servers (c to a and b)', viewerPort: () => ports[2] }].map((k) => ({ ...k, times: [], refusals: new Map() }));
  for (let turn = 0; turn < kTurns; turn++) for (const kind of kinds) await loginRun(kind, targets, atOnce, (seconds * 1000) / kTurns);
  for (const { name, times, refusals } of kinds) {
    console.log(`${name}: ${(times.length / seconds).toFixed(0)} logins/s, median ${quantile(times, 0.5)?.toFixed(1)} ms, ` +
      `p90 ${quantile(times, 0.9)?.toFixed(1)} ms (${atOnce} at once, ${times.length} in ${seconds} s)` +
      (refusals.size ? `; not let in: ${JSON.stringify(Object.fromEntries(refusals))}` : ''));
  }
}

try {
  await startRedis(redisPort);
  const budget = ['--new-devices-per-minute', '1000000'];
  const servers = [await startClusterServer('a', ports[0], redisPort, ['--self-signed', ...budget])];
  const tls = ['--cert', join(dir, 'a', 'cert.pem'), '--key', join(dir, 'a', 'key.pem'), ...budget];
  servers.push(await startClusterServer('b', ports[1], redisPort, tls), await startClusterServer('c', ports[2], redisPort, tls));
  await sleep(1000);
  const before = { rss: servers.map((s) => rssKb(s.pid)), redis: redisMemory() };

  // 1. Agent i on server i mod 3, 100 registering at once.
  const devices = Array.from({ length: agents }, (_, i) => ({ id: String(200000000 + i), server: i % 3, from: agentAddress(i) }));
  let tick = 0;
  const heartbeat = setInterval(() => {
    for (let i = tick++ % kHeartbeatSeconds; i < agents; i += kHeartbeatSeconds) if (devices[i].control?.closed === false) devices[i].control.ping();
  }, 1000);
  const registering = performance.now();
  for (let i = 0; i < agents; i += 100) {
    await Promise.all(devices.slice(i, i + 100).map(async (d) => {
      d.control = await fakeAgent(ports[d.server], d.id, d.from, generateKeyPairSync('ed25519'));
      serveLogins(d);
    }));
  }
  const registered = (performance.now() - registering) / 1000;
  await sleep((kHeartbeatSeconds + 5) * 1000);
  const rss = servers.map((s, i) => rssKb(s.pid) - before.rss[i]);
  const perServer = agents / 3;
  console.log(`${agents} agents registered over three servers in ${registered.toFixed(1)} s; idle after a heartbeat round:`);
  console.log(`  servers' resident memory ${servers.map((s) => mb(rssKb(s.pid))).join(', ')} MiB (${rss.map(mb).join(', ')} MiB for ` +
    `their agents), ${(rss.reduce((x, y) => x + y) / 3 / perServer).toFixed(1)} KiB per idle agent`);
  const redisBytes = redisMemory() - before.redis;
  console.log(`  redis used_memory ${(redisMemory() / 1048576).toFixed(1)} MiB, ${(redisBytes / 1048576).toFixed(1)} MiB for them, ` +
    `${(redisBytes / agents).toFixed(0)} bytes per agent`);

  // 2. Devices on a and b; viewers on their own server, and on c.
  const targets = devices.filter((d) => d.server !== 2).slice(0, Math.max(...atOnce) * 4);
  for (const n of atOnce) await loginRuns(targets, n);
  clearInterval(heartbeat);
  console.log(`${devices.filter((d) => !d.control.closed).length} of ${agents} agents still connected at the end`);
  devices.forEach((d) => d.control.close());
} finally {
  for (const child of children.reverse()) await stop(child);
  rmSync(dir, { recursive: true, force: true });
}
