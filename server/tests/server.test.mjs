// The server end to end on loopback: the real qova-server, the real agent in a network namespace of its
// own whose only way out is a Unix-socket bridge, fed frames the way the application feeds them, and
// headless Chromium on the server's page. What the pieces decide alone is tested lower.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { cpSync, rmSync, readdirSync, writeFileSync } from 'node:fs';
import { request } from 'node:https';
import { connect } from 'node:net';
import { join } from 'node:path';
import { loadPlaywright, launchBrowser, waitFor } from '../../tests/e2e/harness.mjs';
import { AGENT, dir, children, frameBytes, line, stop, startServer, startAgent, port, fingerprint } from './support.mjs';

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

  it('refuses a wrong code slowly, then shows the screen and takes a file in pieces', async () => {
    const started = Date.now();
    await login('wrongcod');
    await waitFor(async () => (await page.textContent('#login-error')).includes('验证码不正确'), { what: 'the refusal' });
    assert.ok(Date.now() - started >= 900, 'a wrong code is answered after the delay');
    await page.fill('#code', code);
    await page.click('#connect');
    await waitFor(drawn, { timeout: 10000, what: 'a frame' });
    assert.ok(await page.isVisible('#sealed') && (await page.textContent('#sealed')) === `端到端加密 · 设备 ${deviceId}`);
    // The picture the agent was given, unchanged: its colour in the middle of the canvas.
    const shown = await page.evaluate(() => { const c = document.getElementById('screen');
      return [...c.getContext('2d').getImageData(c.width >> 1, c.height >> 1, 1, 1).data.slice(0, 3)]; });
    assert.ok(shown.every((v, i) => Math.abs(v - [0xe0, 0x30, 0x9a][i]) < 12), `shown as ${shown}`);
    // Input and text through the server are the browser test's; here a file larger than one piece.
    writeFileSync(join(dir, 'note.txt'), 'x'.repeat(600000));
    await page.setInputFiles('#file-input', join(dir, 'note.txt'));
    await line(agent, /__QOVA_FILE_RECEIVED__.*note\.txt$/, 'the file');
    assert.deepEqual(readdirSync(join(dir, 'agent', 'Downloads', 'QOVA-Lumaro')), ['note.txt']);
  });

  it('lets only its own page open a viewer socket, and closes only a connection that breaks the rules', async () => {
    const upgrade = (origin, path = '/viewer') => new Promise((resolve) => {
      const headers = { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13', 'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==' };
      if (origin) headers.Origin = origin;
      request({ host: '127.0.0.1', port, path, headers, rejectUnauthorized: false })
        .on('upgrade', (response, socket) => { socket.destroy(); resolve(101); }).on('response', (r) => resolve(r.statusCode)).end();
    });
    // The agents' paths take no page at all: a browser names one.
    for (const [origin, status, path] of [[`https://127.0.0.1:${port}`, 101], ['https://evil.example', 403], [`http://127.0.0.1:${port}`, 403],
      [null, 403], [`https://127.0.0.1:${port}`, 403, '/agent'], ['https://evil.example', 403, '/session']]) {
      assert.equal(await upgrade(origin, path), status, `${path} ${origin}`);
    }
    // A socket that sends anything but a login first is closed, and so is one that answers the agent's
    // share of a sealed login (passed on with its ticket and the cipher it chose from the page's offer)
    // with anything but its proof; the logged-in viewer stays.
    const closedAfter = (first) => page.evaluate(([first, id]) => new Promise((resolve) => {
      const ws = new WebSocket(`wss://${location.host}/viewer`);
      const opening = JSON.stringify({ ...QovaSeal.startLogin('wrongcod', id).opening, deviceId: id });
      let shared = false;
      ws.onopen = () => ws.send(first || opening);
      ws.onmessage = (e) => { const m = JSON.parse(e.data); if (m.type !== 'seal' || !m.ticket || !m.share || m.aead !== QovaSeal.AES_GCM) resolve('answered'); else shared = true, ws.send(opening); };
      ws.onclose = () => resolve(shared ? 'closed after the share' : 'closed'); }), [first, deviceId]);
    assert.equal(await closedAfter('{"type":"input","action":"key","key":"a"}'), 'closed');
    assert.equal(await closedAfter(''), 'closed after the share');
    assert.ok(await page.evaluate(() => !document.getElementById('viewer').hidden), 'the logged-in viewer stays');
  });

  it('is reached again after the server restarts, ends an idle session, and the viewer is told when the agent ends', async () => {
    const registered = () => agent.lines.filter((l) => l.startsWith('[agent] connected: server')).length;
    const before = registered();
    await stop(server);
    server = await startServer('--session-idle', '2');
    await waitFor(() => registered() > before, { timeout: 15000, what: 'the agent to register again' });
    const loggedIn = async () => { await login(code); await waitFor(async () => (await page.textContent('#connection')) === '已连接' && drawn(), { timeout: 10000, what: 'a frame' }); };
    await loggedIn();
    await waitFor(async () => (await page.textContent('#login-error')).includes('会话已结束'), { what: 'the idle session to end' });
    await loggedIn();
    await stop(agent);
    await waitFor(async () => (await page.textContent('#login-error')).includes('设备已离线'), { what: 'the offline notice' });
  });

  it('gives a machine that lost its agent state a new device ID, tells an agent replaced by a copy, and agents refuse a certificate that is not the pinned one', async () => {
    // The first agent's machine and user with its state gone (a reinstall): the server knows the ID under the old key.
    const reinstalled = startAgent('reinstalled', { isolated: true });
    const changed = /this device's ID is now (\d+): the server knew (\d+)/;
    const [, newId, lostId] = (await line(reinstalled, changed, 'a new ID')).match(changed);
    assert.equal(lostId, deviceId);
    await line(reinstalled, new RegExp(`connected: server .* knows this device as ${newId}$`), 'the agent online under it');
    const shown = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'reinstalled'), XDG_CONFIG_HOME: join(dir, 'reinstalled', '.config') } }).toString();
    assert.match(shown, new RegExp(`设备 ID: ${newId}\n`));
    deviceId = newId;
    await login(shown.match(/验证码: (\S+)/)[1]);
    await waitFor(async () => (await page.textContent('#connection')) === '已连接', { what: 'the login under the new ID' });
    await stop(reinstalled);

    const cases = [['wrong-pin', '00'.repeat(32), /failed \(TLS/], ['no-pin', '', /failed \(TLS/]];
    for (const [name, pin, expected] of cases) {
      const other = startAgent(name, { pin });
      await line(other, expected, `${name} to fail`);
      assert.ok(!other.lines.some((l) => l.startsWith('[agent] connected: server')), name);
      await stop(other);
    }
    // Two copies of the (now ended) agent with its key: the second takes the device over, the first is told.
    cpSync(join(dir, 'agent'), join(dir, 'twin'), { recursive: true });
    const first = startAgent('twin');
    await line(first, /\[agent\] connected: server/, 'the first twin');
    cpSync(join(dir, 'agent'), join(dir, 'twin-copy'), { recursive: true });
    await line(startAgent('twin-copy'), /\[agent\] connected: server/, 'the second twin');
    await line(first, /another client replaced this device session/, 'the first twin to be told');
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
