// The web viewer end to end: headless Chromium on the agent's page, the real application capturing
// and injecting on a private Xvfb, and a probe window that reports what reached it. What the agent
// or the application decide on their own (refusing a wrong code, naming stored files, stopping
// capture, listing received files) is tested below this level.
import { describe, it, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, existsSync } from 'node:fs';
import { join } from 'node:path';
import { Desktop, loadPlaywright, launchBrowser, waitFor, sleep, screenPixels } from './harness.mjs';

const PROBE = { x: 975, y: 200 };

// Average colour of a square of the X screen around a display point.
function screenColor(pixels, width, x, y, radius = 3) {
  const sum = [0, 0, 0];
  for (let dy = -radius; dy <= radius; dy++) {
    for (let dx = -radius; dx <= radius; dx++) {
      for (let c = 0; c < 3; c++) sum[c] += pixels[((y + dy) * width + (x + dx)) * 3 + c];
    }
  }
  return sum.map((v) => v / (2 * radius + 1) ** 2);
}

// Where on the page (CSS pixels) a display point is shown, and the average colour of the picture there.
async function shown(page, x, y, radius = 3) {
  return page.evaluate(({ x, y, radius }) => {
    const { pictureRect, frame } = window.qovaViewerStats;
    const canvas = document.getElementById('screen');
    const box = canvas.getBoundingClientRect();
    const at = { x: pictureRect.x + (x / frame.inputWidth) * pictureRect.w, y: pictureRect.y + (y / frame.inputHeight) * pictureRect.h };
    const ratio = canvas.width / canvas.clientWidth;
    const side = 2 * radius + 1;
    const data = canvas.getContext('2d').getImageData(Math.round(at.x * ratio) - radius, Math.round(at.y * ratio) - radius, side, side).data;
    const color = [0, 1, 2].map((c) => data.filter((_, i) => i % 4 === c).reduce((a, b) => a + b, 0) / (side * side));
    return { x: box.left + at.x, y: box.top + at.y, color };
  }, { x, y, radius });
}

function colorDistance(a, b) { return Math.max(...a.map((v, i) => Math.abs(v - b[i]))); }
function near(event, point) { return Math.abs(event.x - point.x) <= 2 && Math.abs(event.y - point.y) <= 2; }

describe('web viewer with the real application', () => {
  const desktop = new Desktop('viewer');
  let browser;
  let page;

  // The first probe event of a kind after `from`, once it has come.
  const probeEvent = (from, what, match) => waitFor(() => desktop.probeEvents().slice(from).find(match), { what });
  // The probe editor's text once it has grown by `added`: exactly what was there and `added`.
  async function editorAfter(act, added) {
    const textNow = () => desktop.probeEvents().filter((e) => e.event === 'text').pop()?.text ?? '';
    const before = textNow();
    await act();
    await waitFor(() => textNow().length >= before.length + added.length, { what: 'text in the probe editor' });
    assert.equal(textNow(), before + added);
  }

  before(async () => {
    const playwright = await loadPlaywright();
    await desktop.start();
    browser = await launchBrowser(playwright);
  });

  afterEach(() => desktop.assertApplicationRunning());

  after(async () => {
    if (browser) await browser.close().catch(() => {});
    await desktop.stop();
  });

  it('shows the screen after the right code, and the picture matches the screen', async () => {
    page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    await page.goto(desktop.url);
    await page.fill('#code', desktop.accessCode);
    await page.click('#connect');
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 10000, interval: 20, what: 'the first frame' });
    const frame = await page.evaluate(() => window.qovaViewerStats.frame);
    assert.deepEqual([frame.inputWidth, frame.inputHeight, Math.max(frame.width, frame.height)], [desktop.width, desktop.height, 1280]);

    // Compare a grid of spots of the picture with the same spots of the X screen. The cursor's spot
    // and the probe's editor (it has a blinking caret) may differ; everything else must match.
    await sleep(500);
    const pixels = await screenPixels(desktop.display, desktop.width, desktop.height);
    const mismatches = [];
    for (let gy = 1; gy < 8; gy++) {
      for (let gx = 1; gx < 12; gx++) {
        const x = Math.round((gx * desktop.width) / 12);
        const y = Math.round((gy * desktop.height) / 8);
        const onScreen = screenColor(pixels, desktop.width, x, y);
        const onPage = (await shown(page, x, y)).color;
        if (colorDistance(onScreen, onPage) > 40) mismatches.push({ x, y, onScreen, onPage });
      }
    }
    assert.ok(mismatches.length <= 2, `${mismatches.length} of 77 spots differ: ${JSON.stringify(mismatches.slice(0, 4))}`);
    // And the probe's colour block is where the probe is.
    const block = (await shown(page, PROBE.x + 230, PROBE.y + 60)).color;
    assert.ok(colorDistance(block, [224, 48, 154]) < 40, `probe block shows as ${block}`);
    await page.screenshot({ path: join(desktop.dir, 'viewer.png') });
  });

  it('shows the permission state the application reports', async () => {
    await waitFor(async () => (await page.textContent('#perm-screen')).includes('已授权'), { what: 'screen permission' });
    assert.match(await page.textContent('#perm-input'), /已授权/);
    assert.equal(await page.isVisible('#perm-warning'), false);
  });

  it('clicks, right clicks, drags and wheel turns arrive at the mapped points of the display', async () => {
    // One CSS pixel of the picture covers about 1440/1280 display points.
    const left = { x: PROBE.x + 150, y: PROBE.y + 300 };
    let from = desktop.probeEvents().length;
    let at = await shown(page, left.x, left.y);
    await page.mouse.click(at.x, at.y);
    const press = await probeEvent(from, 'the click', (e) => e.event === 'press');
    assert.ok(near(press, left) && press.button === 'left', `clicked ${JSON.stringify(left)}, got ${JSON.stringify(press)}`);

    // On the colour block, which has no context menu that would swallow the next press.
    from = desktop.probeEvents().length;
    at = await shown(page, PROBE.x + 380, PROBE.y + 60);
    await page.mouse.click(at.x, at.y, { button: 'right' });
    assert.equal((await probeEvent(from, 'the right click', (e) => e.event === 'press')).button, 'right');

    const start = { x: PROBE.x + 60, y: PROBE.y + 200 };
    const end = { x: PROBE.x + 300, y: PROBE.y + 420 };
    const a = await shown(page, start.x, start.y);
    const b = await shown(page, end.x, end.y);
    from = desktop.probeEvents().length;
    await page.mouse.move(a.x, a.y);
    await page.mouse.down();
    await page.mouse.move(b.x, b.y, { steps: 12 });
    await page.mouse.up();
    // (The right click before may still report its release late, after its context menu closed.)
    const release = await probeEvent(from, 'the end of the drag', (e) => e.event === 'release' && e.button === 'left');
    const down = desktop.probeEvents().slice(from).find((e) => e.event === 'press' && e.button === 'left');
    assert.ok(down && near(down, start) && near(release, end), `drag went ${JSON.stringify([down, release])}`);

    from = desktop.probeEvents().length;
    await page.mouse.wheel(0, 240);  // down, as on a mouse wheel: six lines
    assert.ok((await probeEvent(from, 'the wheel', (e) => e.event === 'wheel')).deltaY < 0);
  });

  it('typed keys and pasted multi-line text arrive in the focused window', async () => {
    const editor = await shown(page, PROBE.x + 230, PROBE.y + 300);
    await page.mouse.click(editor.x, editor.y);
    await sleep(300);
    await editorAfter(async () => {
      for (const key of ['Shift+KeyH', 'KeyI', 'Space', 'Digit4', 'Digit2', 'Shift+Digit1']) await page.keyboard.press(key);
    }, 'Hi 42!');
    const pasted = 'first line\nsecond line\n第三行 ✓';
    await editorAfter(async () => {
      await page.fill('#paste-text', pasted);
      await page.click('#paste-send');
    }, pasted);
    assert.equal(await page.inputValue('#paste-text'), '');
  });

  it('files sent by picker and by drop land in the received files folder', async () => {
    const content = Buffer.from('hello from the browser\n');
    await page.setInputFiles('#file-input', { name: 'e2e 报告.txt', mimeType: 'text/plain', buffer: content });
    await waitFor(async () => (await page.textContent('#upload-status')).startsWith('已发送'), { what: 'the upload' });
    assert.deepEqual(readFileSync(join(desktop.receivedDir, 'e2e 报告.txt')), content);

    await page.evaluate(() => {
      const transfer = new DataTransfer();
      transfer.items.add(new File(['dropped'], 'dropped.txt', { type: 'text/plain' }));
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    });
    const dropped = join(desktop.receivedDir, 'dropped.txt');
    await waitFor(() => existsSync(dropped) && readFileSync(dropped, 'utf8') === 'dropped', { what: 'the dropped file' });
  });
});
