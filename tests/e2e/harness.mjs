// Shared by the browser test and the end-to-end benchmark: a private Xvfb, the real application with
// its bundled agent, the probe window and headless Chromium. A missing part fails the run, by name.
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, existsSync, accessSync, constants, rmSync, copyFileSync, openSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';

const run = promisify(execFile);
const CHROMIUM = process.env.QOVA_CHROMIUM || '/usr/bin/chromium';

export function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

export async function waitFor(check, { timeout = 5000, interval = 50, what = 'condition' } = {}) {
  for (const end = Date.now() + timeout; ; await sleep(interval)) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
  }
}

export const loadPlaywright = () => import('playwright-core').catch((error) => {
  throw new Error(`playwright-core is not installed (scripts/setup-e2e.sh installs it): ${error.message}`);
});

export function launchBrowser(playwright) {
  return playwright.chromium.launch({ executablePath: CHROMIUM, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update'] });
}

// The page's picture (a canvas at the screen's size) beside a PNG of the screen, pixel by pixel: PSNR,
// the share of exact pixels and the picture as a PNG data URL. Null when the sizes differ.
export function pictureBesideScreen(page, png) {
  return page.evaluate(async (base64) => {
    const picture = window.benchPicture ? window.benchPicture() : window.qovaViewerStats.picture;
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const screen = await createImageBitmap(new Blob([bytes], { type: 'image/png' }), { colorSpaceConversion: 'none' });
    if (!picture || picture.width !== screen.width || picture.height !== screen.height) return null;
    const scratch = new OffscreenCanvas(screen.width, screen.height).getContext('2d');
    scratch.drawImage(screen, 0, 0);
    const [a, b] = [scratch.getImageData(0, 0, screen.width, screen.height).data,
      picture.getContext('2d').getImageData(0, 0, screen.width, screen.height).data];
    let squares = 0, exact = 0;
    for (let i = 0; i < a.length; i += 4) {
      const d = [a[i] - b[i], a[i + 1] - b[i + 1], a[i + 2] - b[i + 2]];
      squares += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
      if (!d[0] && !d[1] && !d[2]) exact++;
    }
    const mse = squares / (3 * a.length / 4);
    return { psnr: mse ? 10 * Math.log10(255 * 255 / mse) : Infinity, exact: exact / (a.length / 4), shown: picture.toDataURL('image/png') };
  }, png.toString('base64'));
}

const readLines = (file) => (existsSync(file) ? readFileSync(file, 'utf8').split('\n').filter(Boolean) : []);

// The whole product on one private display: Xvfb, the application (--auto-start) and the probe window.
// Children run in process groups of their own and are ended by their ids.
export class Desktop {
  constructor(name, { screen = '1440x900x24', probeArgs = ['--geometry', '460x480+975+200'], env = {} } = {}) {
    Object.assign(this, { screen, probeArgs, extraEnv: env, children: [] });
    [this.width, this.height] = screen.split('x').map(Number);
    this.dir = join(process.env.QOVA_E2E_ARTIFACTS || join(tmpdir(), 'qova-e2e-artifacts'), name);
    mkdirSync(this.dir, { recursive: true });
  }

  start_(command, args, stdio) {
    const child = spawn(command, args, { env: this.env, stdio, detached: true });
    child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    this.children.push(child);
    return child;
  }

  async start() {
    const programs = [process.env.QOVA_APP_PATH, process.env.QOVA_PROBE_PATH, CHROMIUM, '/usr/bin/Xvfb', '/usr/bin/import', '/usr/bin/xsetroot'];
    for (const path of programs) {
      try { accessSync(path, constants.X_OK); } catch { throw new Error(`not found or not executable: ${path} (run through ctest)`); }
    }
    this.home = mkdtempSync(join(tmpdir(), 'qova-e2e-home-'));
    this.env = { ...process.env, HOME: this.home, XDG_CONFIG_HOME: join(this.home, '.config'), XDG_RUNTIME_DIR: this.home,
      QOVA_AGENT_LISTEN: '127.0.0.1:0', QOVA_AGENT_LOG: join(this.home, 'agent-output.log'), ...this.extraEnv };
    delete this.env.WAYLAND_DISPLAY;
    // -noreset keeps the background after xsetroot leaves.
    const xvfb = this.start_('/usr/bin/Xvfb', ['-displayfd', '3', '-noreset', '-screen', '0', this.screen, '-nolisten', 'tcp', '+extension', 'RANDR'],
      ['ignore', 'ignore', 'ignore', 'pipe']);
    this.display = this.env.DISPLAY = await new Promise((resolve, reject) => {
      let text = '';
      xvfb.stdio[3].on('data', (chunk) => (text += chunk).includes('\n') && resolve(`:${text.trim()}`));
      xvfb.once('exit', () => reject(new Error('Xvfb ended before it was ready')));
    });
    await run('/usr/bin/xsetroot', ['-display', this.display, '-solid', '#2f4f6f']);  // not black: something to compare
    const log = (name) => openSync(join(this.dir, name), 'a');
    this.app = this.start_(process.env.QOVA_APP_PATH, ['--auto-start'], ['ignore', log('application.log'), log('application.log')]);
    const connected = await waitFor(() => readLines(this.env.QOVA_AGENT_LOG).find((line) => line.startsWith('[agent] connected: viewer at')),
      { timeout: 20000, what: 'the application to start its agent' });
    this.url = `http://127.0.0.1:${connected.match(/:(\d+)\/$/)[1]}/`;
    this.accessCode = JSON.parse(readFileSync(join(this.home, '.config/qova-lumaro-agent/state.json'), 'utf8')).accessCode;
    this.receivedDir = join(this.home, 'Downloads', 'QOVA-Lumaro');
    this.probeLog = join(this.home, 'probe.log');
    this.start_(process.env.QOVA_PROBE_PATH, [...this.probeArgs, '--log', this.probeLog], ['ignore', log('probe-output.log'), log('probe-output.log')]);
    await waitFor(() => this.probeEvents().find((e) => e.event === 'ready'), { timeout: 10000, what: 'the probe window' });
  }

  // The probe's JSON lines: where buttons and wheel went, its editor's text, its colour changes.
  probeEvents() { return readLines(this.probeLog).map((line) => JSON.parse(line)); }
  agentLines() { return readLines(this.env.QOVA_AGENT_LOG); }
  // Fails the calling test when the application is gone (a crash shows here).
  assertApplicationRunning() {
    if (this.app.exitCode !== null || this.app.signalCode !== null) throw new Error(`the application ended: ${this.app.exitCode ?? this.app.signalCode}`);
  }

  async stop() {
    if (this.display) await run('/usr/bin/import', ['-display', this.display, '-window', 'root', join(this.dir, 'screen-at-end.png')]).catch(() => {});
    const kill = (child, signal) => { try { process.kill(-child.pid, signal); } catch { /* gone */ } };
    for (const child of this.children.reverse().filter((c) => c.exitCode === null && c.signalCode === null)) {
      kill(child, 'SIGTERM');
      if (!(await Promise.race([child.exited.then(() => true), sleep(3000)]))) kill(child, 'SIGKILL'), await child.exited;
    }
    for (const file of this.home ? ['agent-output.log', 'probe.log'] : []) {
      if (existsSync(join(this.home, file))) copyFileSync(join(this.home, file), join(this.dir, file));
    }
    if (this.home) rmSync(this.home, { recursive: true, force: true });
  }
}
