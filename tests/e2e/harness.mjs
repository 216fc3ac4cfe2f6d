// What the browser tests and the end-to-end benchmark share: a private Xvfb, the real application
// with its bundled agent, the probe window, headless Chromium, and ways to look at all of them.
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, existsSync, createWriteStream, accessSync, constants, rmSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';

const run = promisify(execFile);

export const CHROMIUM = process.env.QOVA_CHROMIUM || '/usr/bin/chromium';
export const CHROMIUM_FLAGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
];

// Every prerequisite is checked up front and a missing one fails the run with its name: a test
// that cannot run is a failure here, never a silent skip.
export function requirePrograms() {
  const needed = {
    application: process.env.QOVA_APP_PATH,
    agent: process.env.QOVA_AGENT_PATH,
    'probe window': process.env.QOVA_PROBE_PATH,
    chromium: CHROMIUM,
    Xvfb: '/usr/bin/Xvfb',
    'ImageMagick import': '/usr/bin/import',
    xsetroot: '/usr/bin/xsetroot',
  };
  for (const [what, path] of Object.entries(needed)) {
    if (!path) throw new Error(`${what}: path not given (run through ctest, which sets QOVA_*_PATH)`);
    try { accessSync(path, constants.X_OK); } catch { throw new Error(`${what} not found or not executable: ${path}`); }
  }
}

export async function loadPlaywright() {
  try {
    return await import('playwright-core');
  } catch (error) {
    throw new Error(`playwright-core is not installed (scripts/setup-e2e.sh installs it): ${error.message}`);
  }
}

export function artifactsDir(name) {
  const dir = join(process.env.QOVA_E2E_ARTIFACTS || join(tmpdir(), 'qova-e2e-artifacts'), name);
  mkdirSync(dir, { recursive: true });
  return dir;
}

export function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

export async function waitFor(check, { timeout = 5000, interval = 50, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(interval);
  }
}

// Children are started in their own process group and ended with it, by their own ids.
class Children {
  constructor() { this.list = []; }
  start(command, args, { env, logFile, stdio } = {}) {
    const child = spawn(command, args, { env: env || process.env, stdio: stdio || ['ignore', 'pipe', 'pipe'], detached: true });
    if (logFile && child.stdout) {
      const out = createWriteStream(logFile, { flags: 'a' });
      child.stdout.pipe(out);
      child.stderr.pipe(out);
    }
    child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    this.list.push(child);
    return child;
  }
  async stop(child, signal = 'SIGTERM') {
    if (child.exitCode !== null || child.signalCode !== null) return;
    try { process.kill(-child.pid, signal); } catch { return; }
    const ended = await Promise.race([child.exited.then(() => true), sleep(3000).then(() => false)]);
    if (!ended) {
      try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ }
      await child.exited;
    }
  }
  async stopAll() {
    for (const child of [...this.list].reverse()) await this.stop(child);
    this.list = [];
  }
}

export async function startXvfb(children, screen = '1440x900x24') {
  // -noreset: the server keeps its state (the background) when a client such as xsetroot leaves.
  const child = children.start('/usr/bin/Xvfb', ['-displayfd', '3', '-noreset', '-screen', '0', screen, '-nolisten', 'tcp',
    '+extension', 'RANDR'], { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const number = await new Promise((resolve, reject) => {
    let text = '';
    child.stdio[3].on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) resolve(text.trim());
    });
    child.once('exit', () => reject(new Error('Xvfb ended before it was ready')));
  });
  return `:${number}`;
}

// The raw RGB picture of the whole X screen, as a person would see it.
export async function screenPixels(display, width, height) {
  const { stdout } = await run('/usr/bin/import', ['-display', display, '-window', 'root', '-depth', '8', 'rgb:-'],
    { encoding: 'buffer', maxBuffer: width * height * 3 + 1024 });
  if (stdout.length !== width * height * 3) throw new Error(`screen grab has ${stdout.length} bytes`);
  return stdout;
}

export async function screenshot(display, file) {
  await run('/usr/bin/import', ['-display', display, '-window', 'root', file]);
}

// JSON lines a program appends to a file (the probe's log, the agent's copy of its output).
export function readLines(file) {
  if (!existsSync(file)) return [];
  return readFileSync(file, 'utf8').split('\n').filter((line) => line.length > 0);
}
export function readJsonLines(file) {
  return readLines(file).map((line) => { try { return JSON.parse(line); } catch { return null; } }).filter(Boolean);
}

// The whole product on one private display: application (with --auto-start), agent, probe window.
export class Desktop {
  constructor(name, { screen = '1440x900x24', probeArgs = null } = {}) {
    this.name = name;
    this.screen = screen;
    const [w, h] = screen.split('x').map(Number);
    this.width = w;
    this.height = h;
    this.probeArgs = probeArgs;
    this.children = new Children();
    this.dir = artifactsDir(name);
  }

  async start() {
    requirePrograms();
    this.home = mkdtempSync(join(tmpdir(), 'qova-e2e-home-'));
    this.display = await startXvfb(this.children, this.screen);
    this.agentLog = join(this.home, 'agent-output.log');
    this.probeLog = join(this.home, 'probe.log');
    this.receivedDir = join(this.home, 'Downloads', 'QOVA-Lumaro');
    this.env = {
      ...process.env,
      DISPLAY: this.display,
      HOME: this.home,
      XDG_CONFIG_HOME: join(this.home, '.config'),
      XDG_RUNTIME_DIR: this.home,
      QOVA_AGENT_LISTEN: '127.0.0.1:0',  // the agent's own line says which port it got
      QOVA_AGENT_LOG: this.agentLog,
    };
    delete this.env.WAYLAND_DISPLAY;
    // A background that is not black, so the picture comparison has something to compare.
    await run('/usr/bin/xsetroot', ['-display', this.display, '-solid', '#2f4f6f']);
    this.app = this.children.start(process.env.QOVA_APP_PATH, ['--auto-start'], { env: this.env, logFile: join(this.dir, 'application.log') });
    this.appEnded = null;
    this.app.exited.then((end) => { this.appEnded = end; });
    const connected = await waitFor(() => readLines(this.agentLog).find((line) => line.startsWith('[agent] connected')),
      { timeout: 20000, what: 'the application to start its agent' });
    this.port = Number(connected.match(/:(\d+)\/$/)[1]);
    const state = JSON.parse(readFileSync(join(this.home, '.config', 'qova-lumaro-agent', 'state.json'), 'utf8'));
    this.accessCode = state.accessCode;
    this.url = `http://127.0.0.1:${this.port}/`;
    // Beside the application's centred 500x380 window, and mapped last, so nothing covers it.
    const probeArgs = this.probeArgs || ['--geometry', '460x480+975+200'];
    this.probe = this.children.start(process.env.QOVA_PROBE_PATH, [...probeArgs, '--log', this.probeLog], { env: this.env, logFile: join(this.dir, 'probe.log') });
    this.probeFrame = await waitFor(() => readJsonLines(this.probeLog).find((e) => e.event === 'ready'),
      { timeout: 10000, what: 'the probe window' });
  }

  // Fails the calling test with the reason when the application is gone (a crash shows here).
  assertApplicationRunning() {
    if (this.appEnded) throw new Error(`the application ended: ${JSON.stringify(this.appEnded)}`);
  }
  probeEvents() { return readJsonLines(this.probeLog); }

  async stop() {
    if (this.appEnded) console.error(`application ended before the tests did: ${JSON.stringify(this.appEnded)}`);
    if (this.display) await screenshot(this.display, join(this.dir, 'screen-at-end.png')).catch(() => {});
    await this.children.stopAll();
    if (this.home) {
      for (const [from, to] of [[this.agentLog, 'agent-output.log'], [this.probeLog, 'probe-events.log']]) {
        if (existsSync(from)) copyFileSync(from, join(this.dir, to));
      }
      rmSync(this.home, { recursive: true, force: true });
    }
  }
}

export async function launchBrowser(playwright) {
  return playwright.chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_FLAGS });
}
