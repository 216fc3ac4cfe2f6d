// Latency of text copied on the host to the viewer page: a Tk program on the private X display takes
// the clipboard with a new text every 200 ms, and the page tells when each text has arrived (after
// the application read it, the agent passed it on and the page put it together). Median and 90th
// percentile over 20 changes, on loopback; each text is padded to [bytes] if given (a long text comes
// to the page in pieces).
//   node bench/clipboard_latency.mjs [build dir] [changes] [bytes]
import { spawn } from 'node:child_process';
import { join, resolve } from 'node:path';
import { Desktop, loadPlaywright, launchBrowser, waitFor, sleep } from '../tests/e2e/harness.mjs';

const buildDir = resolve(process.argv[2] || 'build');
const changes = Number(process.argv[3] || 20);
const bytes = Number(process.argv[4] || 0);
const bundle = join(buildDir, 'QOVA Lumaro Agent.app', 'Contents');
process.env.QOVA_APP_PATH ||= join(bundle, 'MacOS', 'QOVA Lumaro Agent');
process.env.QOVA_PROBE_PATH ||= join(buildDir, 'tests', 'e2e', 'qova_e2e_probe');
process.env.QOVA_E2E_ARTIFACTS ||= join(resolve('test-artifacts'), 'bench');

// Each line on its input becomes the clipboard's text, served for as long as the next does not come.
const SETTER = `
import sys, tkinter
root = tkinter.Tk()
root.withdraw()
def take(*_):
    line = sys.stdin.readline()
    if not line:
        root.destroy()
        return
    # Tk takes the clipboard only when it does not hold it yet: let go first, so that every text is
    # a new owner, as an editor's copy is.
    root.tk.call("selection", "clear", "-selection", "CLIPBOARD")
    root.clipboard_clear()
    root.clipboard_append(line.rstrip("\\n"))
    root.update()
root.tk.createfilehandler(sys.stdin, tkinter.READABLE, take)
root.mainloop()
`;

const desktop = new Desktop('bench-clipboard');
await desktop.start();
const browser = await launchBrowser(await loadPlaywright());
const setter = spawn('python3', ['-c', SETTER], { env: { ...process.env, DISPLAY: desktop.display }, stdio: ['pipe', 'inherit', 'inherit'] });
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  const arrived = new Map();
  await page.exposeFunction('clipboardArrived', (text) => arrived.set(text, performance.now()));
  await page.goto(desktop.url);
  await page.fill('#code', desktop.accessCode);
  await page.click('#connect');
  await waitFor(() => page.evaluate(() => window.qovaViewerStats.framesDrawn > 0), { timeout: 10000, what: 'the first frame' });
  await page.evaluate(() => { window.qovaViewerStats.onClipboard = (text) => window.clipboardArrived(text); });
  const took = [];
  for (let i = 0; i < changes; i++) {
    const text = `复制 ${i} copied at ${Date.now()} `.padEnd(bytes, 'x');
    const sent = performance.now();
    setter.stdin.write(text + '\n');
    await waitFor(() => arrived.has(text), { timeout: 10000, interval: 1, what: `change ${i} on the page` });
    took.push(arrived.get(text) - sent);
    await sleep(200);
  }
  took.sort((a, b) => a - b);
  const at = (p) => took[Math.min(took.length - 1, Math.floor(p * took.length))].toFixed(1);
  console.log(`clipboard to page over ${took.length} changes${bytes ? ` of ${bytes} bytes` : ""}: median ${at(0.5)} ms, p90 ${at(0.9)} ms, max ${at(1)} ms`);
} finally {
  setter.stdin.end();
  await browser.close().catch(() => {});
  await desktop.stop();
}
