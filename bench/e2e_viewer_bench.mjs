// End-to-end figures of the viewer: frames per second reaching the page while the whole screen keeps
// changing, and the latency from a colour change on the X display to the page drawing it.
//   node bench/e2e_viewer_bench.mjs [build dir] [seconds]
// A full-screen probe window changes colour (twelve hues far apart); the page samples the colour of
// every frame it draws. Frames per second are measured with a change every 50 ms, so every frame
// differs. Latency is measured with a change every 237 ms: each change is seen, and since the period
// is no multiple of the 100 ms frame interval, changes fall at every phase of it, so the wait for the
// next capture is counted fairly. Run at 1440x900 and 1920x1080 on a private Xvfb.
import { join, resolve } from 'node:path';
import { Desktop, loadPlaywright, launchBrowser, waitFor, sleep } from '../tests/e2e/harness.mjs';

const buildDir = resolve(process.argv[2] || 'build');
const seconds = Number(process.argv[3] || 10);
const bundle = join(buildDir, 'QOVA Lumaro Agent.app', 'Contents');
process.env.QOVA_APP_PATH ||= join(bundle, 'MacOS', 'QOVA Lumaro Agent');
process.env.QOVA_AGENT_PATH ||= join(bundle, 'Resources', 'agent-bin', 'qova-agent-helper');
process.env.QOVA_PROBE_PATH ||= join(buildDir, 'tests', 'e2e', 'qova_e2e_probe');
process.env.QOVA_E2E_ARTIFACTS ||= join(resolve('test-artifacts'), 'bench');

const FPS_CHANGE_MS = 50;
const LATENCY_CHANGE_MS = 237;

// The probe's hues: QColor::fromHsv(i * 30, 255, 230).
function hue(index) {
  const h = index * 30;
  const v = 230;
  const c = v;
  const x = c * (1 - Math.abs(((h / 60) % 2) - 1));
  const [r, g, b] = h < 60 ? [c, x, 0] : h < 120 ? [x, c, 0] : h < 180 ? [0, c, x] : h < 240 ? [0, x, c] : h < 300 ? [x, 0, c] : [c, 0, x];
  return [r, g, b];
}
const HUES = Array.from({ length: 12 }, (_, i) => hue(i));

function nearestHue(color) {
  let best = -1;
  let bestDistance = Infinity;
  HUES.forEach((h, i) => {
    const d = Math.max(...h.map((v, c) => Math.abs(v - color[c])));
    if (d < bestDistance) { best = i; bestDistance = d; }
  });
  return bestDistance < 60 ? best : -1;
}

function percentile(sorted, p) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

async function measure(playwright, width, height, changeMs) {
  const desktop = new Desktop(`bench-${width}x${height}-${changeMs}ms`, {
    screen: `${width}x${height}x24`,
    probeArgs: ['--geometry', `${width}x${height}+0+0`, '--colors', String(changeMs)],
  });
  await desktop.start();
  const browser = await launchBrowser(playwright);
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    await page.goto(desktop.url);
    await page.evaluate(() => {
      window.samples = [];
      window.qovaViewerStats.onDraw = () => {
        const canvas = document.getElementById('screen');
        const { pictureRect } = window.qovaViewerStats;
        const ratio = canvas.width / canvas.clientWidth;
        // A spot well away from the cursor, which sits at the display's centre or corner.
        const x = Math.round((pictureRect.x + pictureRect.w * 0.25) * ratio);
        const y = Math.round((pictureRect.y + pictureRect.h * 0.75) * ratio);
        const d = canvas.getContext('2d').getImageData(x, y, 1, 1).data;
        window.samples.push({ t: Date.now(), color: [d[0], d[1], d[2]] });
      };
    });
    await page.fill('#code', desktop.accessCode);
    await page.click('#connect');
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 5000, what: 'the first frame' });
    await sleep(1000);  // let the stream settle
    const start = await page.evaluate(() => ({ t: Date.now(), received: window.qovaViewerStats.framesReceived, drawn: window.qovaViewerStats.framesDrawn }));
    await sleep(seconds * 1000);
    const end = await page.evaluate(() => ({ t: Date.now(), received: window.qovaViewerStats.framesReceived, drawn: window.qovaViewerStats.framesDrawn }));
    const samples = await page.evaluate(() => window.samples);
    const elapsed = (end.t - start.t) / 1000;

    // For each colour change, the first drawn frame that shows the new colour.
    const changes = desktop.probeEvents().filter((e) => e.event === 'color' && e.t >= start.t && e.t <= end.t - 1000);
    const latencies = [];
    let next = 0;
    for (const change of changes) {
      while (next < samples.length && samples[next].t < change.t) next++;
      for (let i = next; i < samples.length && samples[i].t < change.t + changeMs * 12; i++) {
        if (nearestHue(samples[i].color) === change.index) {
          latencies.push(samples[i].t - change.t);
          break;
        }
      }
    }
    latencies.sort((a, b) => a - b);
    return {
      resolution: `${width}x${height}`,
      seconds: Number(elapsed.toFixed(1)),
      fpsReceived: Number(((end.received - start.received) / elapsed).toFixed(2)),
      fpsDrawn: Number(((end.drawn - start.drawn) / elapsed).toFixed(2)),
      colourChanges: changes.length,
      changesSeen: latencies.length,
      latencyMedianMs: percentile(latencies, 50),
      latencyP90Ms: percentile(latencies, 90),
    };
  } finally {
    await browser.close().catch(() => {});
    await desktop.stop();
  }
}

const playwright = await loadPlaywright();
const results = [];
for (const [w, h] of [[1440, 900], [1920, 1080]]) {
  const rate = await measure(playwright, w, h, FPS_CHANGE_MS);
  const delay = await measure(playwright, w, h, LATENCY_CHANGE_MS);
  results.push({
    resolution: rate.resolution,
    fpsReceived: rate.fpsReceived,
    fpsDrawn: rate.fpsDrawn,
    colourChanges: delay.colourChanges,
    changesSeen: delay.changesSeen,
    latencyMedianMs: delay.latencyMedianMs,
    latencyP90Ms: delay.latencyP90Ms,
  });
}
console.table(results);
console.log(JSON.stringify(results));
