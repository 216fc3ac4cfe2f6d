// How long a viewer waits for the new display after choosing it: from the choice in the page's
// picker to the page drawing the first picture of that display. Two monitors on one private Xvfb
// (1440x900 split at x 960), switched back and forth.
//   node bench/display_switch_bench.mjs [build dir] [switches]
import { execFileSync } from 'node:child_process';
import { join, resolve } from 'node:path';
import { Desktop, loadPlaywright, launchBrowser, waitFor } from '../tests/e2e/harness.mjs';

const buildDir = resolve(process.argv[2] || 'build');
const switches = Number(process.argv[3] || 20);
const bundle = join(buildDir, 'QOVA Lumaro Agent.app', 'Contents');
process.env.QOVA_APP_PATH ||= join(bundle, 'MacOS', 'QOVA Lumaro Agent');
process.env.QOVA_PROBE_PATH ||= join(buildDir, 'tests', 'e2e', 'qova_e2e_probe');
process.env.QOVA_E2E_ARTIFACTS ||= join(resolve('test-artifacts'), 'bench');

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];

const playwright = await loadPlaywright();
const desktop = new Desktop('display-switch');
let browser;
try {
  await desktop.start();
  const xrandr = (...args) => execFileSync('/usr/bin/xrandr', ['-display', desktop.display, ...args]);
  xrandr('--setmonitor', 'left', '960/254x900/238+0+0', 'screen');
  xrandr('--setmonitor', 'right', '480/127x900/238+960+0', 'none');
  browser = await launchBrowser(playwright);
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  await page.goto(desktop.url);
  await page.fill('#code', desktop.accessCode);
  await page.click('#connect');
  await waitFor(() => page.isVisible('#display-pick'), { timeout: 15000, what: 'the display picker' });
  const options = await page.$$eval('#display-pick option', (all) => all.map((o) => ({ value: o.value, text: o.textContent })));
  const widthOf = (option) => (option.text.startsWith('left') ? 960 : 480);
  const took = [];
  for (let i = 0; i < switches; i++) {
    const option = options[(i + 1) % options.length];
    // Armed before the choice: the first picture drawn at the new display's size ends the wait.
    const drawn = page.evaluate((width) => new Promise((done) => {
      const stats = window.qovaViewerStats;
      stats.onDraw = (header) => { if (header.inputWidth === width) { stats.onDraw = null; done(performance.now()); } };
    }), widthOf(option));
    const chosenAt = await page.evaluate((value) => {
      const pick = document.getElementById('display-pick');
      pick.value = value;
      const at = performance.now();
      pick.dispatchEvent(new Event('change'));
      return at;
    }, option.value);
    took.push((await drawn) - chosenAt);
    await page.waitForTimeout(300);  // the picture settles before the next switch
  }
  took.sort((a, b) => a - b);
  const fmt = (v) => `${v.toFixed(0)} ms`;
  console.log(`display switch to its first picture, ${took.length} switches: median ${fmt(percentile(took, 50))}, p90 ${fmt(percentile(took, 90))}, max ${fmt(took[took.length - 1])} (target at most 300 ms)`);
} finally {
  await browser?.close().catch(() => {});
  await desktop.stop();
}
