// The web viewer end to end: headless Chromium on the agent's page, the real application capturing and injecting
// on a private Xvfb, and a probe window that reports what reached it. What they decide alone is tested lower.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, existsSync } from 'node:fs';
import { join } from 'node:path';
import { execFileSync } from 'node:child_process';
import { Desktop, loadPlaywright, launchBrowser, pictureBesideScreen, waitFor, sleep } from './harness.mjs';
import { startServer, stop, port, fingerprint } from '../../server/tests/support.mjs';

const PROBE = { x: 975, y: 200 };
const RADIUS = 3;
const distance = (a, b) => Math.max(...a.map((v, i) => Math.abs(v - b[i])));
const near = (event, point) => Math.abs(event.x - point.x) <= 2 && Math.abs(event.y - point.y) <= 2;

describe('web viewer with the real application', () => {
  let desktop, browser, page, server;

  // Where on the page a display point is shown, and the picture's colour there.
  const shown = (x, y) => page.evaluate(({ x, y, r }) => {
    const { pictureRect: rect, frame } = window.qovaViewerStats;
    const canvas = document.getElementById('screen');
    const box = canvas.getBoundingClientRect();
    const at = { x: rect.x + (x / frame.inputWidth) * rect.w, y: rect.y + (y / frame.inputHeight) * rect.h };
    const ratio = canvas.width / canvas.clientWidth;
    const data = canvas.getContext('2d').getImageData(Math.round(at.x * ratio) - r, Math.round(at.y * ratio) - r, 2 * r + 1, 2 * r + 1).data;
    const color = [0, 1, 2].map((c) => data.filter((_, i) => i % 4 === c).reduce((sum, v) => sum + v, 0) / (2 * r + 1) ** 2);
    return { x: box.left + at.x, y: box.top + at.y, color };
  }, { x, y, r: RADIUS });
  const clickAt = async (point, options) => { const at = await shown(point.x, point.y); await page.mouse.click(at.x, at.y, options); };
  // The first probe event after `from` that matches.
  const probeEvent = (from, what, match) => waitFor(() => desktop.probeEvents().slice(from).find(match), { what });
  // Does `act`, then the probe editor's text must be exactly what it was and `added`.
  async function editorAfter(act, added) {
    const text = () => desktop.probeEvents().filter((e) => e.event === 'text').pop()?.text ?? '';
    const before = text();
    await act();
    await waitFor(() => text().length >= before.length + added.length, { what: 'text in the probe editor' });
    assert.equal(text(), before + added);
  }

  // Dark pixels of the picture on the page inside a display rectangle (the editor's text is dark on light; antialiased and scaled, its strokes are mostly mid grey).
  const darkPixels = (from, to) => page.evaluate(({ from, to }) => {
    const { pictureRect: rect, frame } = window.qovaViewerStats;
    const canvas = document.getElementById('screen');
    const ratio = canvas.width / canvas.clientWidth;
    const map = (p) => ({ x: Math.round((rect.x + (p.x / frame.inputWidth) * rect.w) * ratio), y: Math.round((rect.y + (p.y / frame.inputHeight) * rect.h) * ratio) });
    const [a, b] = [map(from), map(to)];
    const data = canvas.getContext('2d').getImageData(a.x, a.y, b.x - a.x, b.y - a.y).data;
    return data.filter((_, i) => i % 4 === 0 && data[i] + data[i + 1] + data[i + 2] < 384).length;
  }, { from, to });
  const editorArea = [{ x: PROBE.x + 10, y: PROBE.y + 125 }, { x: PROBE.x + 450, y: PROBE.y + 470 }];

  // A line of wide dark letters typed into the probe's editor shows up in the picture (the caret alone is far less).
  async function typedCharactersAreDrawn() {
    await clickAt({ x: PROBE.x + 230, y: PROBE.y + 300 });
    await sleep(300);
    const before = await darkPixels(...editorArea);
    const typed = 'M'.repeat(24);
    await editorAfter(async () => { for (const key of ['Enter', ...Array(typed.length).fill('Shift+KeyM')]) await page.keyboard.press(key); }, '\n' + typed);
    await waitFor(async () => (await darkPixels(...editorArea)) > before + 300, { timeout: 5000, what: 'the typed letters in the picture' });
  }

  // A click moves the remote pointer; its image is drawn over the picture with its hot spot there.
  async function pointerImageFollows() {
    for (const target of [{ x: PROBE.x + 120, y: PROBE.y + 330 }, { x: PROBE.x + 330, y: PROBE.y + 440 }]) {
      await clickAt(target);
      const at = await shown(target.x, target.y);
      const drawn = await waitFor(() => page.evaluate(({ target }) => {
        const { pointer, frame } = window.qovaViewerStats;
        const element = document.getElementById('pointer');
        const box = element.getBoundingClientRect();
        const [x, y] = [target.x * frame.width / frame.inputWidth, target.y * frame.height / frame.inputHeight];
        return pointer && pointer.visible && !element.hidden && Math.abs(pointer.x - x) <= 2 && Math.abs(pointer.y - y) <= 2 && { left: box.left, top: box.top };
      }, { target }), { what: `the pointer image at ${JSON.stringify(target)}` });
      assert.ok(drawn.left <= at.x + 1 && drawn.top <= at.y + 1 && at.x - drawn.left < 48 && at.y - drawn.top < 48,
        `pointer image at ${JSON.stringify(drawn)}, click shown at ${JSON.stringify(at)}`);
    }
  }

  before(async () => {
    const playwright = await loadPlaywright();
    // The agent serves its local page and dials out to a server as well: both paths reach the same desktop.
    server = await startServer();
    desktop = new Desktop('viewer', { env: { QOVA_AGENT_SERVER: `wss://127.0.0.1:${port}`, QOVA_AGENT_SERVER_FINGERPRINT: fingerprint } });
    await desktop.start();
    browser = await launchBrowser(playwright);
  });
  afterEach(() => desktop.assertApplicationRunning());
  after(async () => { await browser?.close().catch(() => {}); await desktop?.stop(); if (server) await stop(server); });

  it('shows the screen and its permission state after the right code, and the picture matches the screen', async () => {
    page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    await page.goto(desktop.url);
    await page.fill('#code', desktop.accessCode);
    await page.click('#connect');
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 10000, what: 'the first frame' });
    const frame = await page.evaluate(() => window.qovaViewerStats.frame);
    assert.deepEqual([frame.inputWidth, frame.inputHeight], [desktop.width, desktop.height]);
    // Written frames are capped at 1280; the picture of updates comes at the display's own size.
    assert.equal(Math.max(frame.width, frame.height), frame.rects ? Math.max(desktop.width, desktop.height) : 1280);
    // The probe's colour block where the screen has it (capture itself is compared with the screen lower down).
    const block = (await shown(PROBE.x + 230, PROBE.y + 60)).color;
    assert.ok(distance(block, [224, 48, 154]) < 40, `probe block shows as ${block}`);

    assert.match(await page.textContent('#sealed'), /^端到端加密 · 设备 \d+$/);
    await waitFor(async () => (await page.textContent('#perm-screen')).includes('已授权'), { what: 'screen permission' });
    assert.match(await page.textContent('#perm-input'), /已授权/);
    assert.equal(await page.isVisible('#perm-warning'), false);
  });

  it('clicks, right clicks, drags and wheel turns arrive at the mapped points of the display', async () => {
    const left = { x: PROBE.x + 150, y: PROBE.y + 300 };
    let from = desktop.probeEvents().length;
    await clickAt(left);
    const press = await probeEvent(from, 'the click', (e) => e.event === 'press');
    assert.ok(near(press, left) && press.button === 'left', `clicked ${JSON.stringify(left)}, got ${JSON.stringify(press)}`);
    from = desktop.probeEvents().length;
    await clickAt({ x: PROBE.x + 380, y: PROBE.y + 60 }, { button: 'right' });  // the colour block: no context menu
    assert.equal((await probeEvent(from, 'the right click', (e) => e.event === 'press')).button, 'right');

    const [start, end] = [{ x: PROBE.x + 60, y: PROBE.y + 200 }, { x: PROBE.x + 300, y: PROBE.y + 420 }];
    const [a, b] = [await shown(start.x, start.y), await shown(end.x, end.y)];
    from = desktop.probeEvents().length;
    await page.mouse.move(a.x, a.y);
    await page.mouse.down();
    await page.mouse.move(b.x, b.y, { steps: 12 });
    await page.mouse.up();
    // (The right click's release may come late, after its context menu closed.)
    const release = await probeEvent(from, 'the end of the drag', (e) => e.event === 'release' && e.button === 'left');
    const down = desktop.probeEvents().slice(from).find((e) => e.event === 'press' && e.button === 'left');
    assert.ok(down && near(down, start) && near(release, end), `drag went ${JSON.stringify([down, release])}`);
    from = desktop.probeEvents().length;
    await page.mouse.wheel(0, 240);  // down, as a mouse wheel turns
    assert.ok((await probeEvent(from, 'the wheel', (e) => e.event === 'wheel')).deltaY < 0);
  });

  it('typed keys and pasted multi-line text arrive in the focused window', async () => {
    await clickAt({ x: PROBE.x + 230, y: PROBE.y + 300 });  // the probe's editor
    await sleep(300);
    const keys = ['Shift+KeyH', 'KeyI', 'Space', 'Digit4', 'Digit2', 'Shift+Digit1'];
    await editorAfter(async () => { for (const key of keys) await page.keyboard.press(key); }, 'Hi 42!');
    const pasted = 'first line\nsecond line\n第三行 ✓';
    await editorAfter(() => page.fill('#paste-text', pasted).then(() => page.click('#paste-send')), pasted);
    assert.equal(await page.inputValue('#paste-text'), '');
    // What the editor copies on the host lands on the browser's clipboard; where the page may not
    // write there, a button offers it.
    await page.context().grantPermissions(['clipboard-read', 'clipboard-write']);
    const copied = async (text) => waitFor(async () => (await page.evaluate(() => navigator.clipboard.readText().catch(() => ''))) === text, { what: 'the copied text in the browser' });
    const all = desktop.probeEvents().filter((e) => e.event === 'text').pop().text;
    for (const key of ['Control+KeyA', 'Control+KeyC']) await page.keyboard.press(key);
    await copied(all);
    const cdp = await page.context().newCDPSession(page);
    const { browserContextId } = (await cdp.send('Target.getTargetInfo')).targetInfo;
    await cdp.send('Browser.setPermission', { permission: { name: 'clipboard-write' }, setting: 'denied', browserContextId });
    for (const key of ['ArrowRight', 'Shift+ArrowLeft', 'Shift+ArrowLeft', 'Control+KeyC']) await page.keyboard.press(key);
    await waitFor(() => page.isVisible('#clipboard-copy'), { what: 'the copy button' });
    await page.screenshot({ path: join(desktop.dir, 'copy-button.png') });  // for a person to look at
    await page.click('#clipboard-copy');
    await copied(all.slice(-2));
    assert.equal(await page.isVisible('#clipboard-copy'), false);
  });

  it('a typed character is drawn, and the pointer image follows a move', async () => {
    await typedCharactersAreDrawn();
    await pointerImageFollows();
  });

  it('once the screen is still, the picture is the screen at 45 dB or better', async () => {
    // Lossy areas are sent again sharp after 300 ms; a busy machine may take longer, a stale tile forever.
    let compared;
    const close = async () => {
      const screen = execFileSync('/usr/bin/import', ['-display', desktop.display, '-window', 'root', 'png:-'], { maxBuffer: 64 << 20 });
      compared = await pictureBesideScreen(page, screen);
      return compared && compared.psnr >= 45;
    };
    await waitFor(close, { timeout: 10000, interval: 500, what: 'the picture to match the screen' })
      .catch(() => assert.fail(`the picture is at ${compared?.psnr} dB of the screen, ${compared?.exact} exact`));
  });

  it('files sent by picker and by drop land in the received files folder', async () => {
    const content = Buffer.from('hello from the browser\n');
    await page.setInputFiles('#file-input', { name: 'e2e 报告.txt', mimeType: 'text/plain', buffer: content });
    await waitFor(async () => (await page.textContent('#upload-status')).startsWith('已发送'), { what: 'the upload' });
    assert.deepEqual(readFileSync(join(desktop.receivedDir, 'e2e 报告.txt')), content);
    await page.evaluate(() => {
      const dataTransfer = new DataTransfer();
      dataTransfer.items.add(new File(['dropped'], 'dropped.txt', { type: 'text/plain' }));
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer, bubbles: true, cancelable: true }));
    });
    const dropped = join(desktop.receivedDir, 'dropped.txt');
    await waitFor(() => existsSync(dropped) && readFileSync(dropped, 'utf8') === 'dropped', { what: 'the dropped file' });
  });

  it('through the server, a click, keys, a paste and a file reach the desktop', async () => {
    const registered = await waitFor(() => desktop.agentLines().find((l) => l.includes('knows this device as')), { timeout: 15000, what: 'the agent on the server' });
    page = await browser.newPage({ viewport: { width: 1280, height: 900 }, ignoreHTTPSErrors: true });
    const passed = [];  // what the server reads once TLS is off: every message both ways
    page.on('websocket', (ws) => ['framesent', 'framereceived'].forEach((way) => ws.on(way, (f) => passed.push(f.payload))));
    await page.goto(`https://127.0.0.1:${port}/`);
    await page.fill('#device-id', registered.split(' ').pop());
    await page.fill('#code', desktop.accessCode);
    await page.click('#connect');
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 10000, what: 'a frame through the server' });
    await page.screenshot({ path: join(desktop.dir, 'server-viewer.png') });  // for a person to look at
    const target = { x: PROBE.x + 150, y: PROBE.y + 300 };
    const from = desktop.probeEvents().length;
    await clickAt(target);
    const press = await probeEvent(from, 'the click through the server', (e) => e.event === 'press');
    assert.ok(near(press, target), `clicked ${JSON.stringify(target)}, got ${JSON.stringify(press)}`);
    await clickAt({ x: PROBE.x + 230, y: PROBE.y + 300 });  // the probe's editor
    await sleep(300);
    await editorAfter(async () => { for (const key of ['Shift+KeyS', 'KeyV']) await page.keyboard.press(key); }, 'Sv');
    await editorAfter(() => page.fill('#paste-text', ' 服务器 ✓').then(() => page.click('#paste-send')), ' 服务器 ✓');
    await page.setInputFiles('#file-input', { name: 'via-server.txt', mimeType: 'text/plain', buffer: Buffer.from('relayed') });
    const stored = join(desktop.receivedDir, 'via-server.txt');
    await waitFor(() => existsSync(stored) && readFileSync(stored, 'utf8') === 'relayed', { timeout: 10000, what: 'the file through the server' });
    await typedCharactersAreDrawn();  // and the picture, pointer included, comes through the server too
    await pointerImageFollows();
    // The server saw the exchange's shares and proofs in the clear, then only sealed bytes: no code,
    // input, text, file or picture.
    const clear = passed.filter((p) => typeof p === 'string' ? !/"type":"(seal|auth)"/.test(p) || p.includes(desktop.accessCode)
      : [desktop.accessCode, '服务器', 'relayed', '"width"', '"type"'].some((text) => p.includes(text)) || p.subarray(0, 3).equals(Buffer.alloc(3)));
    assert.deepEqual(clear.map(String).map((p) => p.slice(0, 60)), []);
  });

  it('with a second monitor the picker shows it, and a click lands at its origin', async () => {
    const xrandr = (...args) => execFileSync('/usr/bin/xrandr', ['-display', desktop.display, ...args]);
    xrandr('--setmonitor', 'right', '440/116x900/238+1000+0', 'none');  // over the probe window
    try {
      // The displays are listed as capture starts: every viewer leaves first.
      for (const open of browser.contexts().flatMap((context) => context.pages())) await open.close();
      page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
      await page.goto(desktop.url);
      await page.fill('#code', desktop.accessCode);
      await page.click('#connect');
      await waitFor(() => page.isVisible('#display-pick'), { timeout: 10000, what: 'the display picker' });
      const options = await page.$$eval('#display-pick option', (all) => all.map((o) => ({ value: o.value, text: o.textContent })));
      const right = options.find((o) => o.text.startsWith('right'));
      assert.ok(options.length === 2 && right && options.some((o) => o.text.startsWith('screen')), JSON.stringify(options));
      await page.selectOption('#display-pick', right.value);
      await waitFor(() => page.evaluate((id) => window.qovaViewerStats.frame?.inputWidth === 440 && window.qovaViewerStats.displays.current === Number(id), right.value),
        { what: 'the picture of the second monitor' });
      const target = { x: PROBE.x + 150 - 1000, y: PROBE.y + 300 };
      const from = desktop.probeEvents().length;
      await clickAt(target);
      const press = await probeEvent(from, 'the click on the second monitor', (e) => e.event === 'press');
      assert.ok(near(press, { x: target.x + 1000, y: target.y }), `clicked ${JSON.stringify(target)} of the monitor at x 1000, got ${JSON.stringify(press)}`);
    } finally {
      xrandr('--delmonitor', 'right');
    }
  });
});
