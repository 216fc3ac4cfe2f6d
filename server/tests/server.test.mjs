// The server end to end on loopback: the real qova-server, the real agent in a network namespace of its
// own whose only way out is a Unix-socket bridge, fed frames the way the application feeds them, and
// headless Chromium on the server's page. What the pieces decide alone is tested lower.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, readdirSync, writeFileSync } from 'node:fs';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { loadPlaywright, launchBrowser, waitFor, sleep } from '../../tests/e2e/harness.mjs';

const { QOVA_SERVER_PATH: SERVER, QOVA_AGENT_PATH: AGENT } = process.env;
const dir = mkdtempSync(join(tmpdir(), 'qova-server-test-'));
const children = [];
const jpeg = execFileSync('convert', ['-size', '320x200', 'xc:#e0309a', 'jpg:-']);
const frameBytes = () => Buffer.concat([Buffer.from(`__QOVA_FRAME_BYTES__${JSON.stringify(
  { width: 320, height: 200, inputWidth: 1280, inputHeight: 800, timestamp: Date.now(), bytes: jpeg.length })}\n`), jpeg]);

// A child in its own process group whose output lines are kept; ended by its id.
function start(command, args, env = process.env) {
  const child = spawn(command, args, { env, detached: true, stdio: ['pipe', 'pipe', 'pipe'] });
  child.lines = [];
  child.stdin.on('error', () => {});  // an ended agent's input
  for (const stream of [child.stdout, child.stderr]) {
    let rest = '';
    stream.on('data', (chunk) => { const parts = (rest + chunk).split('\n'); rest = parts.pop(); child.lines.push(...parts); });
  }
  child.exited = new Promise((resolve) => child.once('exit', resolve));
  children.push(child);
  return child;
}
const line = (child, pattern, what, timeout = 10000) => waitFor(() => child.lines.find((l) => pattern.test(l)), { timeout, what });
async function stop(child) {
  try { process.kill(-child.pid, 'SIGTERM'); } catch { return; }
  if (!(await Promise.race([child.exited.then(() => true), sleep(3000)]))) { try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ } }
  await child.exited;
}

let port = 0;
let fingerprint = '';
async function startServer() {
  const server = start(SERVER, ['--self-signed', '--state', join(dir, 'server'), '--listen', `127.0.0.1:${port}`]);
  port = Number((await line(server, /listening on/, 'the server')).match(/:(\d+)$/)[1]);
  fingerprint = (await line(server, /SHA-256/, 'the fingerprint')).split(' ').pop();
  return server;
}

// The agent, its home in `name`; with `isolated` inside a fresh network namespace reaching the server
// only through socat over a Unix socket.
function startAgent(name, { isolated = false, pin = fingerprint } = {}) {
  const home = join(dir, name);
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: join(home, '.config'), QOVA_AGENT_LISTEN: '127.0.0.1:0',
    QOVA_AGENT_SERVER: `wss://127.0.0.1:${port}`, QOVA_AGENT_SERVER_FINGERPRINT: pin, QOVA_MAC_SCREEN_TRUSTED: '1', QOVA_MAC_INPUT_TRUSTED: '1' };
  if (!isolated) return start(AGENT, ['--nogui'], env);
  const bridge = join(dir, `${name}.sock`);
  start('socat', [`UNIX-LISTEN:${bridge},fork`, `TCP:127.0.0.1:${port}`]);
  return start('unshare', ['-n', 'sh', '-c', `ip link set lo up && (socat TCP-LISTEN:${port},bind=127.0.0.1,fork,reuseaddr UNIX-CONNECT:${bridge} &) && sleep 0.2 && exec "$0" --nogui`, AGENT], env);
}

describe('server', () => {
  let server, agent, browser, page, deviceId, code;
  const drawn = () => page.evaluate(() => window.qovaViewerStats.framesDrawn);
  async function login(withCode) {
    await page.goto(`https://127.0.0.1:${port}/`);
    await page.fill('#device-id', deviceId);
    await page.fill('#code', withCode);
    await page.click('#connect');
  }

  before(async () => {
    server = await startServer();
    agent = startAgent('agent', { isolated: true });
    deviceId = (await line(agent, /\[agent\] connected: server/, 'the agent to register')).split(' ').pop();
    code = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'agent'), XDG_CONFIG_HOME: join(dir, 'agent', '.config') } })
      .toString().match(/验证码: (\S+)/)[1];
    // The application answers capture requests with frames.
    setInterval(() => { if (agent.lines.some((l) => l.includes('"action":"start"'))) agent.stdin.write(frameBytes()); }, 100).unref();
    browser = await launchBrowser(await loadPlaywright());
    page = await browser.newPage({ ignoreHTTPSErrors: true });
  });
  after(async () => {
    await browser?.close().catch(() => {});
    for (const child of children.reverse()) await stop(child);
    rmSync(dir, { recursive: true, force: true });
  });

  it('cannot be reached in its namespace, and says where it is', async () => {
    const local = Number((await line(agent, /viewer at/, 'the local viewer')).match(/:(\d+)\/$/)[1]);
    const reached = await new Promise((resolve) => connect(local, '127.0.0.1').on('connect', () => resolve(true)).on('error', () => resolve(false)));
    assert.equal(reached, false);
    const shown = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'agent'), QOVA_AGENT_SERVER: 'wss://example.org:8443' } });
    assert.match(shown.toString(), /服务器: wss:\/\/example\.org:8443/);
  });

  it('refuses a wrong code slowly, then shows the screen and passes input, text and a file', async () => {
    const started = Date.now();
    await login('wrongcod');
    await waitFor(async () => (await page.textContent('#login-error')).includes('验证码不正确'), { what: 'the refusal' });
    assert.ok(Date.now() - started >= 900, 'a wrong code is answered after the delay');
    await page.fill('#code', code);
    await page.click('#connect');
    await waitFor(drawn, { timeout: 10000, what: 'a frame' });
    const box = await page.locator('#screen').boundingBox();
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
    await page.keyboard.press('KeyQ');
    await page.fill('#paste-text', 'through the server');
    await page.click('#paste-send');
    writeFileSync(join(dir, 'note.txt'), 'x'.repeat(600000));
    await page.setInputFiles('#file-input', join(dir, 'note.txt'));
    for (const [pattern, what] of [[/__QOVA_INPUT__.*"button"/, 'the click'], [/__QOVA_INPUT__.*"q"/, 'the key'],
      [/__QOVA_INPUT__.*through the server/, 'the text'], [/__QOVA_FILE_RECEIVED__.*note\.txt$/, 'the file']]) {
      await line(agent, pattern, what);
    }
    assert.deepEqual(readdirSync(join(dir, 'agent', 'Downloads', 'QOVA-Lumaro')), ['note.txt']);
  });

  it('is reached again after the server restarts, and the viewer is told when the agent ends', async () => {
    const registered = () => agent.lines.filter((l) => l.startsWith('[agent] connected: server')).length;
    const before = registered();
    await stop(server);
    server = await startServer();
    await waitFor(() => registered() > before, { timeout: 15000, what: 'the agent to register again' });
    await login(code);
    await waitFor(async () => (await page.textContent('#connection')) === '已连接' && drawn(), { timeout: 10000, what: 'a frame after the restart' });
    await stop(agent);
    await waitFor(async () => (await page.textContent('#login-error')).includes('设备已离线'), { what: 'the offline notice' });
  });

  it('refuses another key for a known device ID, and agents refuse a certificate that is not the pinned one', async () => {
    const cases = [['spoofed', fingerprint, /failed \(refused/], ['wrong-pin', '00'.repeat(32), /failed \(TLS/], ['no-pin', '', /failed \(TLS/]];
    for (const [name, pin, expected] of cases) {
      const other = startAgent(name, { pin });
      await line(other, expected, `${name} to fail`);
      assert.ok(!other.lines.some((l) => l.startsWith('[agent] connected: server')), name);
      await stop(other);
    }
  });

  it('refuses plain HTTP and TLS older than 1.2', async () => {
    const plain = await new Promise((resolve) => {
      const socket = connect(port, '127.0.0.1', () => socket.write('GET / HTTP/1.1\r\nHost: x\r\n\r\n'));
      let text = '';
      socket.on('data', (d) => (text += d)).on('close', () => resolve(text));
    });
    assert.match(plain, /^HTTP\/1\.1 400 .*HTTPS only/s);
    for (const [version, works] of [['-tls1_1', false], ['-tls1_2', true], ['-tls1_3', true]]) {
      const handshake = () => execFileSync('openssl', ['s_client', version, '-cipher', 'DEFAULT:@SECLEVEL=0', '-connect', `127.0.0.1:${port}`],
        { input: '', stdio: ['pipe', 'pipe', 'pipe'] });
      if (works) handshake(); else assert.throws(handshake, undefined, version);
    }
  });
});
