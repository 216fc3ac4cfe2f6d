// Latency the server adds: the agent is fed 1280x800 frames stamped when written (as the application
// does after a screen change), and two headless Chromium pages, one on the agent's local page and one
// through qova-server on loopback, record when each frame is painted. Prints median and 90th
// percentile for both and the difference.
//   QOVA_SERVER_PATH=build/server/qova-server QOVA_AGENT_PATH=<agent> node bench/server_latency_bench.mjs [frames] [ImageMagick picture]
import { execFileSync } from 'node:child_process';
import { rmSync } from 'node:fs';
import { join } from 'node:path';
import { loadPlaywright, launchBrowser, waitFor, sleep } from '../tests/e2e/harness.mjs';
import { AGENT, dir, children, frameBytes, makeJpeg, line, stop, startServer, startAgent, port } from '../server/tests/support.mjs';

const frames = Number(process.argv[2] || 100);
// A busy picture by default (about 400 KB); "gradient:" gives a plain desktop's size.
const jpeg = makeJpeg('1280x800', process.argv[3] || 'plasma:');
const quantile = (values, q) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(q * values.length))];

await startServer();
const agent = startAgent('bench-agent');
const deviceId = (await line(agent, /\[agent\] connected: server/, 'the agent to register')).split(' ').pop();
const localUrl = (await line(agent, /viewer at/, 'the local page')).split(' ').pop();
const code = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'bench-agent') } }).toString().match(/验证码: (\S+)/)[1];
const browser = await launchBrowser(await loadPlaywright());
try {
  const pages = {};
  for (const [name, url] of [['local', localUrl], ['server', `https://127.0.0.1:${port}/`]]) {
    const page = pages[name] = await browser.newPage({ ignoreHTTPSErrors: true, viewport: { width: 1400, height: 900 } });
    await page.goto(url);
    if (name === 'server') await page.fill('#device-id', deviceId);
    await page.fill('#code', code);
    await page.click('#connect');
    await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesReceived >= 0 && !document.getElementById('viewer').hidden),
      { timeout: 10000, what: `${name} login` });
    await page.evaluate(() => { window.latencies = []; window.qovaViewerStats.onDraw = (h) => window.latencies.push(Date.now() - h.timestamp); });
  }
  // One frame at a time, each after both pages painted the previous one, so queues never build up.
  for (let i = 0; i < frames; i++) {
    agent.stdin.write(frameBytes(jpeg));
    await waitFor(async () => (await Promise.all(Object.values(pages).map((p) => p.evaluate((n) => window.latencies.length > n, i)))).every(Boolean),
      { timeout: 5000, what: `frame ${i}` }).catch(() => {});
    await sleep(50);
  }
  const result = {};
  for (const [name, page] of Object.entries(pages)) {
    const values = (await page.evaluate(() => window.latencies)).slice(5);  // the first frames warm up the decoder
    result[name] = { median: quantile(values, 0.5), p90: quantile(values, 0.9), painted: values.length + 5 };
    console.log(`${name}: median ${result[name].median} ms, p90 ${result[name].p90} ms (${result[name].painted} of ${frames} frames painted)`);
  }
  console.log(`added by the server: median ${result.server.median - result.local.median} ms, p90 ${result.server.p90 - result.local.p90} ms (frame ${jpeg.length} bytes)`);
} finally {
  await browser.close();
  for (const child of children.reverse()) await stop(child);
  rmSync(dir, { recursive: true, force: true });
}
