// The web viewer end to end: headless Chromium on the agent's page, the real application capturing
// and injecting on a private Xvfb, and a probe window that reports what reached it.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync, existsSync } from 'node:fs';
import { join } from 'node:path';
import { Desktop, loadPlaywright, launchBrowser, waitFor, sleep, screenPixels, screenshot, applicationWindow, clickOnDisplay } from './harness.mjs';

const PROBE = { x: 975, y: 200, width: 460, height: 480, blockHeight: 120 };

// Average colour of a square of the X screen around a display point.
function screenColor(pixels, width, x, y, radius = 3) {
  const sum = [0, 0, 0];
  let n = 0;
  for (let dy = -radius; dy <= radius; dy++) {
    for (let dx = -radius; dx <= radius; dx++) {
      const i = ((y + dy) * width + (x + dx)) * 3;
      for (let c = 0; c < 3; c++) sum[c] += pixels[i + c];
      n++;
    }
  }
  return sum.map((v) => v / n);
}

// Average colour of the viewer's picture around the spot that shows a display point.
async function pageColor(page, x, y, radius = 3) {
  return page.evaluate(({ x, y, radius }) => {
    const { pictureRect, frame } = window.qovaViewerStats;
    const canvas = document.getElementById('screen');
    const ratio = canvas.width / canvas.clientWidth;
    const cx = Math.round((pictureRect.x + (x / frame.inputWidth) * pictureRect.w) * ratio);
    const cy = Math.round((pictureRect.y + (y / frame.inputHeight) * pictureRect.h) * ratio);
    const data = canvas.getContext('2d').getImageData(cx - radius, cy - radius, 2 * radius + 1, 2 * radius + 1).data;
    const sum = [0, 0, 0];
    for (let i = 0; i < data.length; i += 4) for (let c = 0; c < 3; c++) sum[c] += data[i + c];
    return sum.map((v) => v / (data.length / 4));
  }, { x, y, radius });
}

// Where on the page (CSS pixels) a display point is shown.
async function pagePoint(page, x, y) {
  return page.evaluate(({ x, y }) => {
    const { pictureRect, frame } = window.qovaViewerStats;
    const box = document.getElementById('screen').getBoundingClientRect();
    return { x: box.left + pictureRect.x + (x / frame.inputWidth) * pictureRect.w,
             y: box.top + pictureRect.y + (y / frame.inputHeight) * pictureRect.h };
  }, { x, y });
}

function colorDistance(a, b) { return Math.max(...a.map((v, i) => Math.abs(v - b[i]))); }

async function logIn(page, desktop, code) {
  await page.goto(desktop.url);
  await page.fill('#code', code);
  await page.click('#connect');
}

describe('web viewer with the real application', () => {
  const desktop = new Desktop('viewer');
  let playwright;
  let browser;
  let page;

  before(async () => {
    playwright = await loadPlaywright();
    await desktop.start();
    browser = await launchBrowser(playwright);
  });

  afterEach(() => desktop.assertApplicationRunning());

  after(async () => {
    if (browser) await browser.close().catch(() => {});
    await desktop.stop();
  });

  it('refuses a wrong access code and sends that page no frame', async () => {
    const intruder = await browser.newPage();
    await logIn(intruder, desktop, 'wrongcod');
    await waitFor(async () => (await intruder.textContent('#login-error')) === '验证码不正确', { what: 'the refusal' });
    await sleep(1000);
    const stats = await intruder.evaluate(() => window.qovaViewerStats);
    assert.equal(stats.framesReceived, 0);
    assert.equal(await intruder.isVisible('#viewer'), false);
    assert.ok(!desktop.agentLines().some((line) => line.startsWith('__QOVA_CAPTURE__')), 'no capture for a refused viewer');
    await intruder.close();
  });

  it('shows the screen after the right code, and the picture matches the screen', async () => {
    page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    await logIn(page, desktop, desktop.accessCode);
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 10000, interval: 20, what: 'the first frame' });
    const frame = await page.evaluate(() => window.qovaViewerStats.frame);
    assert.equal(frame.inputWidth, desktop.width);
    assert.equal(frame.inputHeight, desktop.height);
    assert.equal(Math.max(frame.width, frame.height), 1280);

    // Compare a grid of spots of the picture with the same spots of the X screen. The cursor's spot
    // and the probe's editor (it has a blinking caret) may differ; everything else must match.
    await sleep(500);
    const pixels = await screenPixels(desktop.display, desktop.width, desktop.height);
    let compared = 0;
    const mismatches = [];
    for (let gy = 1; gy < 8; gy++) {
      for (let gx = 1; gx < 12; gx++) {
        const x = Math.round((gx * desktop.width) / 12);
        const y = Math.round((gy * desktop.height) / 8);
        const onScreen = screenColor(pixels, desktop.width, x, y);
        const onPage = await pageColor(page, x, y);
        compared++;
        if (colorDistance(onScreen, onPage) > 40) mismatches.push({ x, y, onScreen, onPage });
      }
    }
    assert.ok(mismatches.length <= 2, `${mismatches.length} of ${compared} spots differ: ${JSON.stringify(mismatches.slice(0, 4))}`);
    // And the probe's colour block is where the probe is.
    const block = await pageColor(page, PROBE.x + 230, PROBE.y + 60);
    assert.ok(colorDistance(block, [224, 48, 154]) < 40, `probe block shows as ${block}`);
    await page.screenshot({ path: join(desktop.dir, 'viewer.png') });
  });

  it('shows the permission state the application reports', async () => {
    await waitFor(async () => (await page.textContent('#perm-screen')).includes('已授权'), { what: 'screen permission' });
    assert.match(await page.textContent('#perm-input'), /已授权/);
    assert.equal(await page.isVisible('#perm-warning'), false);
  });

  it('a click on the picture arrives at the mapped point of the display', async () => {
    const target = { x: PROBE.x + 150, y: PROBE.y + 300 };
    const where = await pagePoint(page, target.x, target.y);
    const before = desktop.probeEvents().length;
    await page.mouse.click(where.x, where.y);
    const press = await waitFor(() => desktop.probeEvents().slice(before).find((e) => e.event === 'press'),
      { what: 'the click in the probe window' });
    // One CSS pixel of the picture covers about 1440/1280 display points.
    assert.ok(Math.abs(press.x - target.x) <= 2 && Math.abs(press.y - target.y) <= 2,
      `clicked ${JSON.stringify(target)}, arrived at ${press.x},${press.y}`);
    assert.equal(press.button, 'left');

    // On the colour block, which has no context menu that would swallow the next press.
    const right = { x: PROBE.x + 380, y: PROBE.y + 60 };
    const rightWhere = await pagePoint(page, right.x, right.y);
    const beforeRight = desktop.probeEvents().length;
    await page.mouse.click(rightWhere.x, rightWhere.y, { button: 'right' });
    const rightPress = await waitFor(() => desktop.probeEvents().slice(beforeRight).find((e) => e.event === 'press'),
      { what: 'the right click' });
    assert.equal(rightPress.button, 'right');
  });

  it('a drag goes down where it starts and up where it ends, and the wheel scrolls there', async () => {
    const from = { x: PROBE.x + 60, y: PROBE.y + 200 };
    const to = { x: PROBE.x + 300, y: PROBE.y + 420 };
    const a = await pagePoint(page, from.x, from.y);
    const b = await pagePoint(page, to.x, to.y);
    const before = desktop.probeEvents().length;
    await page.mouse.move(a.x, a.y);
    await page.mouse.down();
    await page.mouse.move(b.x, b.y, { steps: 12 });
    await page.mouse.up();
    // (The right click before may still report its release late, after its context menu closed.)
    const release = await waitFor(() => desktop.probeEvents().slice(before).find((e) => e.event === 'release' && e.button === 'left'),
      { what: 'the end of the drag' });
    const press = desktop.probeEvents().slice(before).find((e) => e.event === 'press' && e.button === 'left');
    assert.ok(Math.abs(press.x - from.x) <= 2 && Math.abs(press.y - from.y) <= 2, `drag began at ${press.x},${press.y}`);
    assert.ok(Math.abs(release.x - to.x) <= 2 && Math.abs(release.y - to.y) <= 2, `drag ended at ${release.x},${release.y}`);

    const beforeWheel = desktop.probeEvents().length;
    await page.mouse.wheel(0, 240);  // down, as on a mouse wheel: six lines
    const wheel = await waitFor(() => desktop.probeEvents().slice(beforeWheel).find((e) => e.event === 'wheel'),
      { what: 'the wheel in the probe window' });
    assert.ok(wheel.deltaY < 0, `wheel turned by ${wheel.deltaY}`);
  });

  it('typed keys arrive in the focused window', async () => {
    const editor = await pagePoint(page, PROBE.x + 230, PROBE.y + 300);
    await page.mouse.click(editor.x, editor.y);
    await sleep(300);
    for (const key of ['Shift+KeyH', 'KeyI', 'Space', 'Digit4', 'Digit2', 'Shift+Digit1']) await page.keyboard.press(key);
    const text = await waitFor(() => {
      const last = desktop.probeEvents().filter((e) => e.event === 'text').pop();
      return last && last.text.includes('Hi 42!') && last.text;
    }, { what: 'typed text in the probe editor' });
    assert.ok(text.endsWith('Hi 42!'), JSON.stringify(text));
  });

  it('pasted multi-line text arrives whole', async () => {
    const pasted = 'first line\nsecond line\n第三行 ✓';
    await page.fill('#paste-text', pasted);
    await page.click('#paste-send');
    const text = await waitFor(() => {
      const last = desktop.probeEvents().filter((e) => e.event === 'text').pop();
      return last && last.text.includes(pasted) && last.text;
    }, { what: 'pasted text in the probe editor' });
    assert.ok(text.endsWith(pasted), JSON.stringify(text));
    assert.equal(await page.inputValue('#paste-text'), '');
  });

  it('an uploaded file lands in the received files folder, is announced, and the files tab lists it', async () => {
    // The application's files tab, empty so far. The tab's place follows from the window's fixed
    // layout (the probe window lies beside it, not over it).
    const window = await waitFor(() => applicationWindow(desktop.display), { what: 'the application window' });
    const filesTab = { x: window.x + 300, y: window.y + 120 };
    const listArea = { x: window.x + 30, y: window.y + 130, width: 440, height: 200 };
    await clickOnDisplay(desktop.display, filesTab.x, filesTab.y);
    await sleep(500);
    const emptyList = await screenPixels(desktop.display, desktop.width, desktop.height);

    const content = Buffer.from('hello from the browser\n');
    await page.setInputFiles('#file-input', { name: '../e2e note.txt', mimeType: 'text/plain', buffer: content });
    await waitFor(async () => (await page.textContent('#upload-status')).startsWith('已发送'), { what: 'the upload' });
    const stored = join(desktop.receivedDir, 'e2e note.txt');
    assert.deepEqual(readFileSync(stored), content);
    await waitFor(() => desktop.agentLines().includes(`__QOVA_FILE_RECEIVED__${stored}`), { what: 'the announcement' });

    // The announcement makes the application refresh its list: a row appears where the list was empty.
    const changed = await waitFor(async () => {
      const now = await screenPixels(desktop.display, desktop.width, desktop.height);
      let differing = 0;
      for (let y = listArea.y; y < listArea.y + listArea.height; y++) {
        for (let x = listArea.x; x < listArea.x + listArea.width; x++) {
          const i = (y * desktop.width + x) * 3;
          if (Math.abs(now[i] - emptyList[i]) + Math.abs(now[i + 1] - emptyList[i + 1]) + Math.abs(now[i + 2] - emptyList[i + 2]) > 30) differing++;
        }
      }
      return differing > 2000 && differing;
    }, { timeout: 6000, what: 'a row in the files tab' });
    assert.ok(changed > 2000);
    await screenshot(desktop.display, join(desktop.dir, 'files-tab.png'), window);

    // Dropping the same name again keeps both files.
    await page.evaluate(() => {
      const transfer = new DataTransfer();
      transfer.items.add(new File(['second copy'], 'e2e note.txt', { type: 'text/plain' }));
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    });
    const copy = join(desktop.receivedDir, 'e2e note (1).txt');
    await waitFor(() => existsSync(copy), { what: 'the dropped file' });
    assert.equal(readFileSync(copy, 'utf8'), 'second copy');
    assert.deepEqual(readdirSync(desktop.receivedDir).sort(), ['e2e note (1).txt', 'e2e note.txt']);
  });

  it('closing the page stops capture', async () => {
    const starts = desktop.agentLines().filter((l) => l === '__QOVA_CAPTURE__{"action":"start"}').length;
    assert.ok(starts >= 1);
    await page.close();
    await waitFor(() => desktop.agentLines().includes('__QOVA_CAPTURE__{"action":"stop"}'), { what: 'the stop command' });
  });
});
