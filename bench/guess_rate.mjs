// How fast a local process can guess the viewer's access code, and how soon the real code gets in
// after a flood. Runs the agent on its own (no application, no display) on a free loopback port:
//   node bench/guess_rate.mjs [build dir] [seconds]
// 1. wrong codes from 6,000 rotating loopback addresses (127.1.0.1 ...), a new connection each,
//    50 at a time, for the given seconds (default 60);
// 2. wrong codes from one address over 100 sockets that each log in again as soon as answered;
// 3. 5,000 connect-send-close attempts as fast as they go, then the right code the way the page
//    sends it (trying again when told to), timed from the end of the flood.
// Reported: wrong codes the agent judged per minute (from its own notices) and how many of those
// answers reached the guesser, logins turned away unjudged, and the time to the right code's
// acceptance. Every wait is bounded; the agent is ended with the script.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { randomBytes } from 'node:crypto';

const buildDir = resolve(process.argv[2] || 'build');
const seconds = Number(process.argv[3] || 60);
const agentPath = process.env.QOVA_AGENT_PATH ||
  join(buildDir, 'QOVA Lumaro Agent.app', 'Contents', 'Resources', 'agent-bin', 'qova-agent-helper');
const WRONG = 'zzzzzzzz';

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const address = (i) => `127.1.${Math.floor((i % 6000) / 250)}.${1 + (i % 250)}`;

async function startAgent() {
  const home = mkdtempSync(join(tmpdir(), 'qova-guess-bench-'));
  const agent = spawn(agentPath, ['--nogui'], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: '', QOVA_AGENT_LISTEN: '127.0.0.1:0' },
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  // The agent tells the application of every wrong code it judged, repeated ones folded with a count.
  const counts = { judged: 0 };
  let text = '';
  agent.stdout.on('data', (chunk) => {
    text += chunk;
    const lines = text.split('\n');
    text = lines.pop();
    for (const line of lines) {
      const wrong = line.match(/wrong access code from a viewer(?: \((\d+) times\))?$/);
      if (wrong) counts.judged += Number(wrong[1] || 1);
      const connected = line.match(/connected: viewer at http:\/\/127\.0\.0\.1:(\d+)\//);
      if (connected) counts.port = Number(connected[1]);
    }
  });
  for (const end = Date.now() + 5000; !counts.port; await sleep(20)) {
    if (Date.now() > end) throw new Error('the agent did not start within 5 s');
  }
  const code = JSON.parse(readFileSync(join(home, '.config', 'qova-lumaro-agent', 'state.json'), 'utf8')).accessCode;
  return {
    port: counts.port, code, counts,
    async stop() {
      agent.stdin.end();  // the agent ends with its input
      await Promise.race([new Promise((done) => agent.once('exit', done)), sleep(3000)]);
      agent.kill('SIGKILL');
      rmSync(home, { recursive: true, force: true });
    },
  };
}

// A WebSocket client just big enough for logins: masked text frames out, small frames in.
class ViewerSocket {
  constructor(port, localAddress) {
    this.port = port;
    this.localAddress = localAddress;
    this.pending = Buffer.alloc(0);
    this.waiter = null;
    this.closed = false;
  }

  open(timeoutMs = 5000) {
    return new Promise((done) => {
      const socket = connect({ port: this.port, host: '127.0.0.1', localAddress: this.localAddress });
      this.socket = socket;
      const timer = setTimeout(() => { socket.destroy(); done(false); }, timeoutMs);
      let upgraded = false;
      socket.on('error', () => {});
      socket.on('close', () => { this.closed = true; clearTimeout(timer); if (!upgraded) done(false); this.wake(); });
      socket.on('connect', () => socket.write('GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n' +
        `Connection: Upgrade\r\nSec-WebSocket-Key: ${randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`));
      socket.on('data', (chunk) => {
        this.pending = Buffer.concat([this.pending, chunk]);
        if (!upgraded) {
          const end = this.pending.indexOf('\r\n\r\n');
          if (end < 0) return;
          upgraded = this.pending.subarray(0, 12).toString() === 'HTTP/1.1 101';
          this.pending = this.pending.subarray(end + 4);
          clearTimeout(timer);
          if (!upgraded) socket.destroy();
          done(upgraded);
        }
        this.wake();
      });
    });
  }

  send(code) {
    const payload = Buffer.from(JSON.stringify({ type: 'auth', code }));
    const mask = randomBytes(4);
    const frame = Buffer.concat([Buffer.from([0x81, 0x80 | payload.length]), mask, payload.map((b, i) => b ^ mask[i % 4])]);
    this.socket.write(frame);
  }

  // The answer to a login: the parsed message, or null when the connection closed or time ran out.
  async login(code, timeoutMs = 15000) {
    this.send(code);
    const end = Date.now() + timeoutMs;
    for (;;) {
      const message = this.takeFrame();
      if (message !== undefined) return message;
      if (this.closed || Date.now() > end) return null;
      await new Promise((done) => {
        const timer = setTimeout(done, Math.max(0, end - Date.now()));
        this.waiter = () => { clearTimeout(timer); done(); };
      });
    }
  }

  // The next complete frame's JSON (null for a close), or undefined while incomplete.
  takeFrame() {
    const p = this.pending;
    if (p.length < 2) return undefined;
    let length = p[1] & 0x7f;
    let start = 2;
    if (length === 126) { if (p.length < 4) return undefined; length = p.readUInt16BE(2); start = 4; }
    if (p.length < start + length) return undefined;
    const opcode = p[0] & 0x0f;
    const body = p.subarray(start, start + length).toString();
    this.pending = p.subarray(start + length);
    if (opcode === 8) return null;
    try { return JSON.parse(body); } catch { return null; }
  }

  wake() { if (this.waiter) { const w = this.waiter; this.waiter = null; w(); } }
  close() { this.socket?.destroy(); }
}

function tally() { return { answered: 0, toldToWait: 0, lost: 0 }; }
function count(result, answer) {
  if (!answer) result.lost++;
  else if (answer.retryMs > 0) result.toldToWait++;
  else result.answered++;
}
const perMinute = (n, ms) => Math.round((n * 60000) / ms);

// 50 at a time: below the agent's limit of connections without the code, so none is closed to make
// room and every judged guess gets its answer.
async function rotatingAddresses(port, ms) {
  const result = tally();
  const end = Date.now() + ms;
  let next = 0;
  await Promise.all(Array.from({ length: 50 }, async () => {
    while (Date.now() < end) {
      const socket = new ViewerSocket(port, address(next++));
      const answer = (await socket.open()) ? await socket.login(WRONG, Math.max(1, end - Date.now())) : null;
      if (answer || Date.now() < end) count(result, answer);
      socket.close();
    }
  }));
  return result;
}

async function oneAddressManySockets(port, ms) {
  const result = tally();
  const end = Date.now() + ms;
  await Promise.all(Array.from({ length: 100 }, async () => {
    let socket = null;
    while (Date.now() < end) {
      if (!socket || socket.closed) {
        socket?.close();
        socket = new ViewerSocket(port, '127.0.0.1');
        if (!(await socket.open())) { result.lost++; continue; }
      }
      const answer = await socket.login(WRONG, Math.max(1, end - Date.now()));
      if (answer || Date.now() < end) count(result, answer);
    }
    socket?.close();
  }));
  return result;
}

async function floodThenRightCode(port, code) {
  const started = Date.now();
  let next = 0;
  await Promise.all(Array.from({ length: 100 }, async () => {
    while (next < 5000) {
      const socket = new ViewerSocket(port, address(next++));
      if (await socket.open()) socket.send(WRONG);
      socket.close();  // gone before any answer: the attempt is abandoned
    }
  }));
  const floodEnded = Date.now();
  const deadline = floodEnded + 60000;
  let socket = null;
  while (Date.now() < deadline) {
    if (!socket || socket.closed) {
      socket?.close();
      socket = new ViewerSocket(port, '127.0.0.1');
      if (!(await socket.open())) continue;
    }
    const answer = await socket.login(code, deadline - Date.now());
    if (answer?.ok) { socket.close(); return { floodMs: floodEnded - started, acceptedMs: Date.now() - floodEnded }; }
    if (answer?.retryMs > 0) await sleep(answer.retryMs);
  }
  socket?.close();
  return { floodMs: floodEnded - started, acceptedMs: null };
}

const ms = seconds * 1000;
for (const [name, run] of [
  ['6,000 rotating loopback addresses, a new connection each, 50 at a time', (agent) => rotatingAddresses(agent.port, ms)],
  ['one address, 100 sockets logging in again at once', (agent) => oneAddressManySockets(agent.port, ms)],
]) {
  const agent = await startAgent();
  try {
    const result = await run(agent);
    await sleep(1500);  // the last judged ones are reported after their delay
    console.log(`${name}, ${seconds} s: per minute ${perMinute(agent.counts.judged, ms)} wrong codes judged, ` +
      `${perMinute(result.answered, ms)} answered to the guesser; ${result.toldToWait} logins told to come back ` +
      `unjudged, ${result.lost} closed without an answer`);
  } finally {
    await agent.stop();
  }
}
const agent = await startAgent();
try {
  const { floodMs, acceptedMs } = await floodThenRightCode(agent.port, agent.code);
  console.log(`5,000 connect-send-close attempts took ${floodMs} ms; the right code was then accepted after ` +
    (acceptedMs === null ? 'no answer within 60 s' : `${acceptedMs} ms`));
} finally {
  await agent.stop();
}
