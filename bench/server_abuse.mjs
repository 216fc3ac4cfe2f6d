// The attacks that once hurt qova-server, re-run against the real server on loopback; prints one
// figure line per attack. Needs root or a kernel that lets any 127.0.0.0/8 address be used (Linux does).
//   QOVA_SERVER_PATH=build/server/qova-server QOVA_AGENT_PATH=<agent> node bench/server_abuse.mjs [memory|viewers|log|keepalive|descriptors|lockout ...]
import { execFileSync } from 'node:child_process';
import { readFileSync, readdirSync, rmSync } from 'node:fs';
import { connect as tlsConnect } from 'node:tls';
import { connect as tcpConnect } from 'node:net';
import { join } from 'node:path';
import { sleep } from '../tests/e2e/harness.mjs';
import { AGENT, children, dir, line, port, startAgent, startServer, stop } from '../server/tests/support.mjs';
import { WsClient, fakeAgent } from './ws_client.mjs';

const rssMb = (pid) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]) / 1024;
const descriptors = (pid) => readdirSync(`/proc/${pid}/fd`).length;
const cpuSeconds = (pid) => { const f = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' '); return (Number(f[11]) + Number(f[12])) / 100; };
const origin = () => `https://127.0.0.1:${port}`;
let deviceCounter = 910000000;

// The real agent registered at the server: its device ID, local page and access code.
async function realAgent(name) {
  const agent = startAgent(name);
  const deviceId = (await line(agent, /\[agent\] connected: server/, 'the agent to register')).split(' ').pop();
  const localUrl = (await line(agent, /viewer at/, 'the local page')).split(' ').pop();
  const env = { ...process.env, HOME: join(dir, name), XDG_CONFIG_HOME: join(dir, name, '.config') };
  const code = execFileSync(AGENT, ['--show-id'], { env }).toString().match(/验证码: (\S+)/)[1];
  return { agent, deviceId, localUrl, code };
}

// One logged-in pair through a device this script registered: [viewer, session].
async function ownSession(control, deviceId, from) {
  const viewer = await WsClient.open(port, '/viewer', { origin: origin(), from });
  if (typeof viewer === 'number') return null;
  viewer.send({ type: 'auth', deviceId, code: 'x' });
  const login = await control.next(3000);
  if (login?.type !== 'login') { viewer.close(); return null; }
  control.send({ type: 'login-result', ticket: login.ticket, ok: true });
  const session = await WsClient.open(port, '/session', { from });
  if (typeof session === 'number') { viewer.close(); return null; }
  session.send({ type: 'join', deviceId, ticket: login.ticket });
  session.send({ type: 'auth', ok: true });
  const answer = await viewer.next(3000);
  if (answer?.type !== 'auth') { viewer.close(); session.close(); return null; }
  return [viewer, session];
}

const attacks = {
  // A device and a viewer that never reads; the device sends big text messages and frames for 14 s.
  async memory(server) {
    const deviceId = String(deviceCounter++);
    const control = await fakeAgent(port, deviceId);
    const before = rssMb(server.pid);
    let peak = before;
    const pairs = [];
    for (let i = 0; i < 4; i++) pairs.push(await ownSession(control, deviceId));
    pairs.forEach(([viewer]) => viewer.socket.pause());
    const text = JSON.stringify({ type: 'status', pad: 'x'.repeat(60 * 1024) });
    const frame = Buffer.alloc(8 << 20, 7);
    const end = Date.now() + 14000;
    while (Date.now() < end) {
      for (const [, session] of pairs) if (!session.closed && session.socket.writableLength < 64 << 20) { session.send(text); session.send(frame); }
      await sleep(20);
      peak = Math.max(peak, rssMb(server.pid));
    }
    const closed = pairs.filter(([, session]) => session.closed).length;
    pairs.flat().forEach((c) => c.close());
    control.close();
    await sleep(2000);
    return `server memory ${before.toFixed(0)} MB -> peak ${peak.toFixed(0)} MB over 14 s with 4 sessions (${closed} closed by the server), ${rssMb(server.pid).toFixed(0)} MB 2 s after`;
  },

  // One address: its own devices and as many logged-in viewers as it can get in 30 s.
  async viewers(server) {
    const from = '127.0.0.7';
    const controls = [];
    for (let i = 0; i < 20; i++) controls.push([String(deviceCounter++), null]);
    for (const [i, entry] of controls.entries()) entry[1] = await fakeAgent(port, entry[0], `127.0.4.${i + 1}`).catch(() => null);
    let sessions = 0, refused = 0;
    const end = Date.now() + 30000;
    while (Date.now() < end && refused < 50) {
      const [deviceId, control] = controls[(sessions + refused) % controls.length];
      if (control && await ownSession(control, deviceId, from)) sessions++; else refused++;
    }
    return `one address: ${sessions} sessions in (${refused} refused), server ${descriptors(server.pid)} descriptors, ${rssMb(server.pid).toFixed(0)} MB`;
  },

  // New device IDs from rotating addresses for 20 s, each address within its own budget.
  async newids() {
    let made = 0, refused = 0;
    const end = Date.now() + 20000;
    for (let i = 0; Date.now() < end; i++) {
      const batch = await Promise.all([...Array(20)].map((_, j) =>
        fakeAgent(port, String(deviceCounter++), `127.5.${Math.floor((i * 20 + j) / 250) % 250}.${(i * 20 + j) % 250 + 1}`).then((c) => { c.close(); return true; }, () => false)));
      made += batch.filter(Boolean).length;
      refused += batch.filter((x) => !x).length;
    }
    return `new device IDs from rotating addresses in 20 s: ${made} registered, ${refused} refused`;
  },

  // Logins over budget from one address for 20 s: how much log they write.
  async log(server) {
    const size = () => server.lines.reduce((sum, l) => sum + l.length + 1, 0);
    const before = size();
    let sent = 0;
    const end = Date.now() + 20000;
    while (Date.now() < end) {
      const viewers = await Promise.all([...Array(20)].map(() => WsClient.open(port, '/viewer', { origin: origin(), from: '127.0.0.9' })));
      for (const v of viewers) if (typeof v !== 'number') { v.send({ type: 'auth', deviceId: '123456789', code: 'guessing' }); sent++; }
      await Promise.all(viewers.map((v) => (typeof v === 'number' ? null : v.next(2000))));
      viewers.forEach((v) => typeof v !== 'number' && v.close());
    }
    return `${sent} logins from one address in 20 s: ${size() - before} bytes of log`;
  },

  // A keep-alive connection asking for the page every 9 s.
  async keepalive() {
    const socket = tlsConnect({ host: '127.0.0.1', port, rejectUnauthorized: false });
    socket.on('data', () => {}).on('error', () => {});
    const closed = new Promise((resolve) => socket.on('close', resolve));
    const started = Date.now();
    for (let i = 0; i < 20; i++) {
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n\r\n`);
      if (await Promise.race([closed.then(() => true), sleep(9000).then(() => false)])) break;
    }
    socket.destroy();
    return `keep-alive page requests every 9 s: closed after ${((Date.now() - started) / 1000).toFixed(0)} s`;
  },

  // Descriptor limit 1024: session pairs from one address and raw connections from another; then can
  // a third address load the page, and does the server spin?
  async descriptors(server) {
    const deviceIds = [];
    const controls = [];
    for (let i = 0; i < 60; i++) { const id = String(deviceCounter++); const c = await fakeAgent(port, id, `127.0.3.${i + 1}`).catch(() => null); if (c) { deviceIds.push(id); controls.push(c); } }
    let pairs = 0;
    for (let i = 0; i < 505 && controls.length; i++) if (await ownSession(controls[i % controls.length], deviceIds[i % controls.length], '127.0.0.11')) pairs++;
    const raw = [];
    for (let i = 0; i < 1500; i++) raw.push(tcpConnect({ host: '127.0.0.1', port, localAddress: '127.0.0.12' }).on('error', () => {}));
    await sleep(2000);
    const cpu = cpuSeconds(server.pid);
    const times = [];
    for (let i = 0; i < 5; i++) {
      const started = Date.now();
      const ok = await new Promise((resolve) => {
        const s = tlsConnect({ host: '127.0.0.1', port, localAddress: '127.0.0.13', rejectUnauthorized: false }, () => s.write(`GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n`));
        s.on('data', () => { resolve(true); s.destroy(); }).on('error', () => resolve(false)).on('close', () => resolve(false));
        setTimeout(() => { resolve(false); s.destroy(); }, 10000);
      });
      times.push(ok ? Date.now() - started : 'timeout');
    }
    const agentOk = await fakeAgent(port, String(deviceCounter++)).then(() => 'registers', () => 'cannot register');
    const spin = (cpuSeconds(server.pid) - cpu);
    raw.forEach((s) => s.destroy());
    return `descriptor limit 1024: ${pairs} pairs from one address, 1500 raw connections from another; a third address: page in ${times.join(', ')} ms, a new agent ${agentOk}; server CPU ${spin.toFixed(2)} s meanwhile`;
  },

  // 1,100 logins with the right code to the real agent, each viewer kept: what the agent holds.
  async rightcodes() {
    const { agent, deviceId, localUrl, code } = await realAgent('rightcode-agent');
    const viewers = [];
    let answered = 0;
    for (let i = 0; i < 1100; i += 50) {
      const batch = await Promise.all([...Array(50)].map(async (_, j) => {
        const v = await WsClient.open(port, '/viewer', { origin: origin(), from: `127.6.${Math.floor((i + j) / 250)}.${(i + j) % 250 + 1}` });
        if (typeof v === 'number') return null;
        v.send({ type: 'auth', deviceId, code });
        return (await v.next(5000)) ? v : null;
      }));
      for (const v of batch) if (v) { answered++; viewers.push(v); }
    }
    await sleep(2000);
    const agentPid = Number(execFileSync('pgrep', ['-f', '-n', 'qova-agent-helper --nogui']).toString().trim());
    const held = descriptors(agentPid);
    const localWait = await localLogin(localUrl, code);
    viewers.forEach((v) => v.close());
    await stop(agent);
    return `1,100 right-code logins through the server (${answered} answered): the agent holds ${held} descriptors; its local page logs in in ${localWait} ms`;
  },

  // Wrong codes for the real agent's ID from `n` addresses without end; the owner tries the right code
  // from another address, through the server and on the local page.
  async lockout() {
    const { agent, deviceId, localUrl, code } = await realAgent('lockout-agent');
    const results = [];
    for (const n of (process.env.FLOOD_ADDRESSES || '1,20').split(',').map(Number)) {
      let stopFlood = false;
      const seen = { judged: 0, toldToWait: 0, other: 0 };
      const flood = [...Array(n * 4)].map(async (_, i) => {
        while (!stopFlood) {
          const v = await WsClient.open(port, '/viewer', { origin: origin(), from: `127.0.1.${(i % n) + 1}` });
          if (typeof v === 'number') { await sleep(100); continue; }
          v.send({ type: 'auth', deviceId, code: 'wrongcod' });
          const answer = await v.next(3000);
          seen[answer?.type !== 'auth' ? 'other' : answer.retryMs > 0 ? 'toldToWait' : 'judged']++;
          v.close();
          // A guesser that comes back exactly when told, as the page does.
          if (answer?.retryMs > 0) await sleep(answer.retryMs);
        }
      });
      await sleep(15000);  // past every burst: the flood at its steady rate
      const waits = [];
      for (let t = 0; t < 3; t++) {
        const started = Date.now();
        const v = await WsClient.open(port, '/viewer', { origin: origin(), from: '127.0.2.1' });
        let answer;
        for (let i = 0; i < 120; i++) {
          v.send({ type: 'auth', deviceId, code });
          answer = await v.next(5000);
          if (!(answer?.retryMs > 0)) break;
          await sleep(Math.min(answer.retryMs, 10000));
        }
        waits.push(answer?.ok ? Date.now() - started : 'refused');
        v.close();
      }
      const localWait = await localLogin(localUrl, code);
      stopFlood = true;
      await Promise.all(flood);
      results.push(`${n} flooding address(es) (${seen.judged} wrong codes judged, ${seen.toldToWait} told to wait, ${seen.other} other): ` +
        `the owner through the server in ${waits.join(', ')} ms; on the local page in ${localWait} ms`);
      await sleep(8000);  // the budgets fill again
    }
    await stop(agent);
    return results.join('\n');
  },
};

async function localLogin(url, code) {
  const { hostname, port: local } = new URL(url);
  const started = Date.now();
  for (let i = 0; i < 60; i++) {
    const answer = await new Promise((resolve) => {
      const s = tcpConnect({ host: hostname, port: Number(local) }, () => s.write(`GET /ws HTTP/1.1\r\nHost: ${hostname}:${local}\r\nOrigin: http://${hostname}:${local}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ${Buffer.alloc(16, 1).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`));
      let data = Buffer.alloc(0), upgraded = false;
      s.on('data', (chunk) => {
        data = Buffer.concat([data, chunk]);
        if (!upgraded) {
          const end = data.indexOf('\r\n\r\n');
          if (end < 0) return;
          upgraded = true; data = data.subarray(end + 4);
          const payload = Buffer.from(JSON.stringify({ type: 'auth', code })), mask = Buffer.alloc(4, 0);
          s.write(Buffer.concat([Buffer.from([0x81, 0x80 | payload.length]), mask, payload]));
        }
        if (data.length >= 2 && data.length >= 2 + (data[1] & 127)) { resolve(JSON.parse(data.subarray(2, 2 + (data[1] & 127)).toString())); s.destroy(); }
      }).on('error', () => resolve(null)).on('close', () => resolve(null));
    });
    if (answer?.ok) return Date.now() - started;
    await sleep(Math.min(answer?.retryMs || 1000, 10000));
  }
  return 'never';
}

const chosen = process.argv.slice(2).length ? process.argv.slice(2) : Object.keys(attacks);
try {
  for (const name of chosen) {
    const server = await startServer(name === 'descriptors' ? ['prlimit', '--nofile=1024:1024', '--'] : []);
    console.log(`${name}: ${await attacks[name](server)}`);
    await stop(server);
  }
} finally {
  for (const child of children.reverse()) await stop(child);
  rmSync(dir, { recursive: true, force: true });
}
