// The picture over a limited link: today's written frames, the richer picture (when the agent asks
// for it) and x11vnc + noVNC as a peer, on one 1920x1080 desktop, through one link, in one run.
// Run through bench/picture_link.sh, which makes the network namespace this must run in.
//   node bench/picture_link.mjs [--build DIR] [--rates unlimited,10,2] [--paths today,new,server,vnc]
//        [--scenarios still,type,scroll,drag,video] [--scroll-seconds 20] [--scroll-every 40] [--out FILE]
// Rates are Mbit/s of a token bucket on the namespace's loopback (both directions share it).
// Figures: bytes on the link (the namespace's lo), the host's CPU (application + agent, or x11vnc +
// websockify, with their children) and, in the page, when each update was drawn (Date.now() there
// and here read the same clock).
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, readdirSync, statSync, existsSync, rmSync, symlinkSync, writeFileSync, openSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';
import { loadPlaywright, launchBrowser, pictureBesideScreen, waitFor, sleep } from '../tests/e2e/harness.mjs';

const HERE = dirname(fileURLToPath(import.meta.url));
const SCREEN = { w: 1920, h: 1080 };
// Centres of the two marker bars above the scrolling page (see picture_link_desktop.py).
const MARKERS = [[1200, 24], [1680, 24]];
const TERMINAL = { geometry: '100x16+0+660' };
const DRAG_WINDOW = { x: 1000, y: 680, dx: 420, dy: 60 };
const TYPED = 16, TYPE_EVERY_MS = 500, DRAG_SECONDS = 6, VIDEO_SECONDS = 8, STILL_SECONDS = 5;
const NOVNC = '/usr/share/novnc';

function options(argv) {
  const o = { build: 'build', rates: 'unlimited,10,2', paths: 'today,new,vnc', scenarios: 'still,type,scroll,drag,video',
    'scroll-seconds': '20', 'scroll-every': '40', out: '' };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    if (!(key in o) || argv[i + 1] === undefined) throw new Error(`unknown or incomplete option ${argv[i]}`);
    o[key] = argv[i + 1];
  }
  return { build: resolve(o.build), rates: o.rates.split(','), paths: o.paths.split(','), scenarios: o.scenarios.split(','),
    scrollSeconds: Number(o['scroll-seconds']), scrollEvery: Number(o['scroll-every']), out: o.out || join(tmpdir(), `picture-link-${Date.now()}.md`) };
}

// ---- the link and the host's figures ------------------------------------------------------------

function run(command, args, { allowFail = false, env = process.env } = {}) {
  const r = spawnSync(command, args, { encoding: 'utf8', timeout: 10000, env });
  if (!allowFail && r.status !== 0) throw new Error(`${command} ${args.join(' ')}: ${r.stderr || r.error}`);
  return r;
}

function setRate(rate) {
  run('tc', ['qdisc', 'del', 'dev', 'lo', 'root'], { allowFail: true });
  if (rate !== 'unlimited') {
    run('tc', ['qdisc', 'add', 'dev', 'lo', 'root', 'tbf', 'rate', `${rate}mbit`, 'burst', '15k', 'latency', '100ms']);
  }
}

// Bytes sent on the namespace's loopback: every byte crosses it once.
function linkBytes() {
  const line = readFileSync('/proc/net/dev', 'utf8').split('\n').find((l) => l.trim().startsWith('lo:'));
  return Number(line.split(':')[1].trim().split(/\s+/)[8]);
}

function processTable() {
  const table = [];
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const stat = readFileSync(`/proc/${name}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(') ') + 2).split(' ');
      table.push({ pid: Number(name), ppid: Number(fields[1]), ticks: Number(fields[11]) + Number(fields[12]),
        name: stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(') ')) });
    } catch { /* gone meanwhile */ }
  }
  return table;
}

// The browser playwright started (the viewer's side).
const browserPids = () => processTable().filter((p) => p.ppid === process.pid && p.name.startsWith('chrom')).map((p) => p.pid);

// CPU seconds of these processes and all their descendants.
function cpuSeconds(roots) {
  const table = processTable();
  const wanted = new Set(roots);
  for (let grew = true; grew;) {
    grew = false;
    for (const p of table) if (!wanted.has(p.pid) && wanted.has(p.ppid)) { wanted.add(p.pid); grew = true; }
  }
  return table.filter((p) => wanted.has(p.pid)).reduce((sum, p) => sum + p.ticks, 0) / 100;
}

// ---- processes ------------------------------------------------------------------------------------

const children = [];
function start(command, args, { env = process.env, log, stdin = 'ignore' } = {}) {
  const out = log ? openSync(log, 'a') : 'ignore';
  const child = spawn(command, args, { env, stdio: [stdin, out, out], detached: true });
  child.exited = new Promise((done) => child.once('exit', () => done()));
  child.on('error', () => {});
  children.push(child);
  return child;
}

async function stop(child) {
  const kill = (signal) => { try { process.kill(-child.pid, signal); } catch { /* gone */ } };
  if (child.exitCode !== null || child.signalCode !== null) return;
  kill('SIGTERM');
  if (!(await Promise.race([child.exited.then(() => true), sleep(3000)]))) { kill('SIGKILL'); await Promise.race([child.exited, sleep(2000)]); }
}

const within = (promise, ms, what) => Promise.race([promise, sleep(ms).then(() => { throw new Error(`timed out after ${ms} ms: ${what}`); })]);
const xdotool = (env, ...args) => run('xdotool', args.map(String), { allowFail: true, env });

// ---- the desktop: Xvfb, the content program and a terminal ------------------------------------

class Desktop {
  constructor(dir) { this.dir = dir; this.events = []; }

  async start() {
    const xvfb = spawn('/usr/bin/Xvfb', ['-displayfd', '3', '-noreset', '-screen', '0', `${SCREEN.w}x${SCREEN.h}x24`, '-nolisten', 'tcp'],
      { stdio: ['ignore', 'ignore', 'ignore', 'pipe'], detached: true });
    xvfb.exited = new Promise((done) => xvfb.once('exit', done));
    children.push(xvfb);
    const display = await within(new Promise((done, fail) => {
      let text = '';
      xvfb.stdio[3].on('data', (chunk) => (text += chunk).includes('\n') && done(`:${text.trim()}`));
      xvfb.once('exit', () => fail(new Error('Xvfb ended before it was ready')));
    }), 10000, 'Xvfb');
    this.env = { ...process.env, DISPLAY: display };
    delete this.env.WAYLAND_DISPLAY;
    run('xsetroot', ['-display', display, '-solid', '#2f4f6f']);
    this.content = spawn('/usr/bin/python3', [join(HERE, 'picture_link_desktop.py')], { env: this.env, stdio: ['pipe', 'pipe', 'inherit'], detached: true });
    this.content.exited = new Promise((done) => this.content.once('exit', done));
    children.push(this.content);
    createInterface({ input: this.content.stdout }).on('line', (line) => { try { this.events.push(JSON.parse(line)); } catch { /* not ours */ } });
    await waitFor(() => this.events.find((e) => e.event === 'ready'), { timeout: 120000, what: 'the content program' });
    this.dragWindow = this.xdotool('search', '--name', '^bench-drag$').stdout.trim().split('\n')[0];
    start('xterm', ['-title', 'picture-link-terminal', '-geometry', TERMINAL.geometry, '-fa', 'DejaVu Sans Mono', '-fs', '11', '-e', 'cat'],
      { env: this.env, log: join(this.dir, 'xterm.log') });
    const found = await waitFor(() => xdotool(this.env, 'search', '--name', '^picture-link-terminal$').stdout.trim(), { timeout: 15000, what: 'the terminal' });
    this.terminal = found.split('\n')[0];
    xdotool(this.env, 'mousemove', SCREEN.w - 4, SCREEN.h - 4);
  }

  tell(command) { this.content.stdin.write(`${command}\n`); }
  xdotool(...args) { return xdotool(this.env, ...args); }
}

// ---- what runs the picture: the application with its agent, or x11vnc with websockify ------------

class HostApp {
  // `viaServer`: the agent also dials a qova-server on the same loopback, and the page is the server's.
  constructor(desktop, build, picture, dir, viaServer = false) {
    const bundle = join(build, 'QOVA Lumaro Agent.app', 'Contents');
    Object.assign(this, { desktop, picture, dir, viaServer, build, app: join(bundle, 'MacOS', 'QOVA Lumaro Agent'),
      agent: join(bundle, 'Resources', 'agent-bin', 'qova-agent-helper') });
  }

  // The agent asks for the richer picture unless told not to; an agent without the option never does.
  static supportsPicture(build) {
    const agent = join(build, 'QOVA Lumaro Agent.app', 'Contents', 'Resources', 'agent-bin', 'qova-agent-helper');
    return existsSync(agent) && readFileSync(agent).includes('QOVA_AGENT_PICTURE');
  }

  async start() {
    this.home = mkdtempSync(join(tmpdir(), 'picture-link-home-'));
    const env = { ...this.desktop.env, HOME: this.home, XDG_CONFIG_HOME: join(this.home, '.config'), XDG_RUNTIME_DIR: this.home,
      QOVA_AGENT_LISTEN: '127.0.0.1:0', QOVA_AGENT_LOG: join(this.home, 'agent-output.log') };
    if (this.picture) delete env.QOVA_AGENT_PICTURE; else env.QOVA_AGENT_PICTURE = '0';
    if (this.viaServer) {
      process.env.QOVA_SERVER_PATH ||= join(this.build, 'server', 'qova-server');
      this.support = await import('../server/tests/support.mjs');
      this.server = await this.support.startServer();
      Object.assign(env, { QOVA_AGENT_SERVER: `wss://127.0.0.1:${this.support.port}`, QOVA_AGENT_SERVER_FINGERPRINT: this.support.fingerprint });
    }
    this.process = start(this.app, ['--auto-start'], { env, log: join(this.dir, 'application.log') });
    const lines = () => (existsSync(env.QOVA_AGENT_LOG) ? readFileSync(env.QOVA_AGENT_LOG, 'utf8').split('\n') : []);
    const connected = await waitFor(() => lines().find((l) => l.startsWith('[agent] connected: viewer at')), { timeout: 30000, what: 'the agent' });
    this.url = `http://127.0.0.1:${connected.match(/:(\d+)\/$/)[1]}/`;
    this.code = JSON.parse(readFileSync(join(this.home, '.config/qova-lumaro-agent/state.json'), 'utf8')).accessCode;
    if (this.viaServer) {
      const registered = await waitFor(() => lines().find((l) => l.startsWith('[agent] connected: server')), { timeout: 30000, what: 'the agent at the server' });
      this.deviceId = registered.split(' ').pop();
      this.url = `https://127.0.0.1:${this.support.port}/`;
    }
    // The application's own window would cover the content: out of the way, off the screen.
    const windows = await waitFor(() => this.desktop.xdotool('search', '--onlyvisible', '--pid', this.process.pid).stdout.trim(), { timeout: 10000, what: 'the application window' }).catch(() => '');
    for (const id of windows.split('\n').filter(Boolean)) this.desktop.xdotool('windowmove', id, SCREEN.w + 100, 0);
    this.roots = [this.process.pid];
  }

  async open(page) {
    await page.goto(this.url);
    await page.evaluate(installDrawProbe, { markers: MARKERS, screen: SCREEN });
    if (this.viaServer) await page.fill('#device-id', this.deviceId);
    await page.fill('#code', this.code);
    await page.click('#connect');
  }

  async stop() {
    await stop(this.process);
    if (this.server) await this.support.stop(this.server);
    rmSync(this.home, { recursive: true, force: true });
  }
}

class HostVnc {
  constructor(desktop, dir) { Object.assign(this, { desktop, dir }); }

  async start() {
    this.web = mkdtempSync(join(tmpdir(), 'picture-link-novnc-'));
    for (const part of ['core', 'vendor']) symlinkSync(join(NOVNC, part), join(this.web, part));
    writeFileSync(join(this.web, 'bench.html'), NOVNC_PAGE);
    this.vnc = start('x11vnc', ['-display', this.desktop.env.DISPLAY, '-localhost', '-rfbport', '5900', '-nopw', '-forever', '-shared', '-noipv6'],
      { env: this.desktop.env, log: join(this.dir, 'x11vnc.log') });
    this.proxy = start('websockify', ['--web', this.web, '127.0.0.1:6080', '127.0.0.1:5900'], { log: join(this.dir, 'websockify.log') });
    const listening = (port) => readFileSync('/proc/net/tcp', 'utf8').includes(`:${port.toString(16).toUpperCase()} 00000000:0000 0A`);
    await waitFor(() => listening(5900) && listening(6080), { timeout: 20000, what: 'x11vnc and websockify' });
    this.roots = [this.vnc.pid, this.proxy.pid];
  }

  async open(page) {
    await page.goto('http://127.0.0.1:6080/bench.html');
  }

  async stop() {
    await stop(this.proxy);
    await stop(this.vnc);
    rmSync(this.web, { recursive: true, force: true });
  }
}

// In the page: every drawn update gets its time and the colours of the two marker spots.
function installDrawProbe({ markers, screen }) {
  const draws = window.benchDraws = [];
  window.qovaViewerStats.onDraw = (header) => {
    const canvas = document.getElementById('screen');
    const rect = window.qovaViewerStats.pictureRect || { x: 0, y: 0, w: canvas.clientWidth, h: canvas.clientHeight };
    const ratio = canvas.width / canvas.clientWidth;
    const context = canvas.getContext('2d');
    const spots = markers.map(([mx, my]) => Array.from(context.getImageData(Math.round((rect.x + rect.w * mx / screen.w) * ratio),
      Math.round((rect.y + rect.h * my / screen.h) * ratio), 1, 1).data.slice(0, 3)));
    draws.push({ t: Date.now(), capturedAt: header?.timestamp, rects: Array.isArray(header?.rects), spots,
      layout: Array.isArray(header?.rects) ? header.rects.map((r) => r.join(',')).join(' ') : undefined, bytes: header?.bytes });
  };
}

const NOVNC_PAGE = `<!doctype html><meta charset="utf-8"><title>noVNC</title>
<body style="margin:0;background:#0f121a"><div id="screen" style="width:100vw;height:100vh"></div>
<script type="module">
import RFB from './core/rfb.js';
const markers = ${JSON.stringify(MARKERS)};
const draws = window.benchDraws = [];
const rfb = new RFB(document.getElementById('screen'), 'ws://' + location.host + '/websockify');
window.benchPicture = () => rfb._display._backbuffer;
rfb.scaleViewport = true;
const display = rfb._display;
const flip = display.flip.bind(display);
// A flip is queued while decodes are pending; only one that copies damage to the canvas is a draw.
display.flip = (fromQueue) => {
  const drawing = (fromQueue || display._renderQ.length === 0) && display._damageBounds.right > display._damageBounds.left;
  flip(fromQueue);
  if (!drawing) return;
  const context = rfb._canvas.getContext('2d');
  draws.push({ t: Date.now(), spots: markers.map(([x, y]) => Array.from(context.getImageData(x, y, 1, 1).data.slice(0, 3))) });
};
</script>`;

// ---- reading the marker --------------------------------------------------------------------------

// The content's hues: HSV(i * 30, 1, 0.9).
const HUES = Array.from({ length: 12 }, (_, i) => {
  const h = i * 30, c = 230, x = c * (1 - Math.abs(((h / 60) % 2) - 1));
  return h < 60 ? [c, x, 0] : h < 120 ? [x, c, 0] : h < 180 ? [0, c, x] : h < 240 ? [0, x, c] : h < 300 ? [x, 0, c] : [c, 0, x];
});
function hueIndex(color) {
  let best = -1, bestDistance = Infinity;
  HUES.forEach((h, i) => {
    const d = Math.max(...h.map((v, k) => Math.abs(v - color[k])));
    if (d < bestDistance) { best = i; bestDistance = d; }
  });
  return bestDistance < 60 ? best : -1;
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))] : NaN;
}

// ---- the scenarios -------------------------------------------------------------------------------

class Row {
  constructor(desktop, host, page, viewerPids, dir) { Object.assign(this, { desktop, host, page, viewerPids, dir }); }

  // The raw times beside the figures, for a second look.
  keep(name, data) { writeFileSync(join(this.dir, `${name}.json`), JSON.stringify(data)); }

  draws() { return within(this.page.evaluate(() => window.benchDraws), 10000, 'the page'); }
  async snapshot() {
    return { t: Date.now(), bytes: linkBytes(), cpu: cpuSeconds(this.host.roots), viewerCpu: cpuSeconds(this.viewerPids),
      draws: (await this.draws()).length };
  }
  static span(a, b) {
    const seconds = (b.t - a.t) / 1000;
    return { seconds, bytes: b.bytes - a.bytes, kbits: (b.bytes - a.bytes) * 8 / 1000 / seconds, cpu: 100 * (b.cpu - a.cpu) / seconds,
      viewerCpu: 100 * (b.viewerCpu - a.viewerCpu) / seconds, ups: (b.draws - a.draws) / seconds };
  }

  // Waits until, for a second, nothing was drawn and the link was all but quiet (at most 15 s): the
  // picture has caught up, also where one big update takes seconds to cross a slow link.
  async settle() {
    const bytes = [];
    for (const end = Date.now() + 15000; Date.now() < end; await sleep(250)) {
      bytes.push(linkBytes());
      const draws = await this.draws();
      const quiet = bytes.length > 4 && bytes[bytes.length - 1] - bytes[bytes.length - 5] < 5000;
      if (quiet && draws.length && Date.now() - draws[draws.length - 1].t > 1000) return;
    }
  }

  // The viewer's picture beside the screen (the pointer is in neither); both are kept for a person to
  // look at. Null where the page keeps no picture at the screen's size.
  async fidelity(name) {
    const png = spawnSync('import', ['-window', 'root', 'png:-'], { env: this.desktop.env, maxBuffer: 64 << 20, timeout: 10000 }).stdout;
    if (!png || !png.length) return null;
    writeFileSync(join(this.dir, `${name}-screen.png`), png);
    await this.page.screenshot({ path: join(this.dir, `${name}-page.png`) }).catch(() => {});
    const result = await within(pictureBesideScreen(this.page, png), 30000, 'the comparison with the screen');
    if (!result) return null;
    writeFileSync(join(this.dir, `${name}-viewer.png`), Buffer.from(result.shown.split(',')[1], 'base64'));
    return { psnr: result.psnr, exact: result.exact };
  }

  async still() {
    await this.settle();
    const a = await this.snapshot();
    await sleep(STILL_SECONDS * 1000);
    const s = Row.span(a, await this.snapshot());
    this.idleBytesPerSecond = s.bytes / s.seconds;
    return { kbits: s.kbits, cpu: s.cpu, ups: s.ups, ...(await this.fidelity('still')) };
  }

  async type() {
    await this.settle();
    this.desktop.xdotool('windowfocus', this.desktop.terminal);
    await sleep(300);
    const a = await this.snapshot();
    // One xdotool reading its commands line by line: starting a process per key would put its start-up
    // (a hundred ms and more on a busy machine) between the time taken here and the key.
    const typist = spawn('xdotool', ['-'], { env: this.desktop.env, stdio: ['pipe', 'ignore', 'inherit'] });
    typist.on('error', () => {});
    const ended = new Promise((done) => typist.once('exit', done));
    const keys = [];
    for (let i = 0; i < TYPED; i++) {
      keys.push(Date.now());
      typist.stdin.write(`type --delay 0 ${String.fromCharCode(97 + (i % 26))}\n`);
      await sleep(TYPE_EVERY_MS);
    }
    typist.stdin.end();
    await within(ended, 5000, 'xdotool to end').catch(() => typist.kill('SIGKILL'));
    await sleep(500);
    await this.settle();  // every byte the keys caused has crossed, also on a slow link
    const s = Row.span(a, await this.snapshot());
    const draws = await this.draws();
    this.keep('type', { keys, draws: draws.filter((d) => d.t >= a.t) });
    const latencies = keys.map((t0) => draws.find((d) => d.t >= t0 && (d.capturedAt === undefined || d.capturedAt >= t0)))
      .filter((d, i) => d && d.t - keys[i] < 5000).map((d, i) => d.t - keys[i]);
    const idle = (this.idleBytesPerSecond ?? 0) * s.seconds;
    return { bytesPerKey: Math.max(0, s.bytes - idle) / TYPED, median: percentile(latencies, 50), p90: percentile(latencies, 90), seen: latencies.length };
  }

  async scroll(seconds, every) {
    await this.settle();
    const from = this.desktop.events.length;
    const a = await this.snapshot();
    for (const end = Date.now() + seconds * 1000; Date.now() < end;) {
      this.desktop.tell('scroll');
      await sleep(every);
    }
    const b = await this.snapshot();
    await sleep(500);
    await this.settle();  // the last steps are drawn, however far behind the picture fell
    const steps = this.desktop.events.slice(from).filter((e) => e.event === 'scroll');
    const draws = (await this.draws()).filter((d) => d.t >= a.t);
    this.keep('scroll', { steps, draws });
    await sleep(1000);  // what moved is refined once still
    const fidelity = await this.fidelity('scroll');
    // A draw shows the newest step (at its time) whose code its marker carries.
    const shown = draws.map((d) => {
      const [low, high] = d.spots.map(hueIndex);
      if (low < 0 || high < 0) return null;
      const code = low + 12 * high;
      const made = steps.filter((s) => s.t <= d.t).map((s) => s.step).filter((n) => n % 144 === code);
      return made.length ? { t: d.t, step: made[made.length - 1] } : null;
    }).filter(Boolean);
    const latencies = [];
    for (const step of steps) {
      const drawn = shown.find((d) => d.t >= step.t && d.step >= step.step);
      if (drawn) latencies.push(drawn.t - step.t);
    }
    const s = Row.span(a, b);
    return { ups: s.ups, kbits: s.kbits, cpu: s.cpu, viewerCpu: s.viewerCpu, median: percentile(latencies, 50), p90: percentile(latencies, 90),
      seen: latencies.length, steps: steps.length, ...fidelity };
  }

  async drag() {
    await this.settle();
    const id = this.desktop.dragWindow;
    const moves = [];
    const count = Math.round(DRAG_SECONDS * 30);
    for (let i = 0; i < count; i++) {
      const phase = (i % 60) / 30;
      const f = phase < 1 ? phase : 2 - phase;
      // --sync: without it xdotool keeps the moves in its buffer until it ends.
      moves.push('windowmove', '--sync', id, Math.round(DRAG_WINDOW.x + DRAG_WINDOW.dx * f), Math.round(DRAG_WINDOW.y + DRAG_WINDOW.dy * f), 'sleep', '0.033');
    }
    const a = await this.snapshot();
    const mover = spawn('xdotool', moves.map(String), { env: this.desktop.env, stdio: ['ignore', 'ignore', 'inherit'] });
    const code = await within(new Promise((done) => mover.once('exit', done)), DRAG_SECONDS * 3000, 'the window drag');
    if (code !== 0) throw new Error(`xdotool ended with ${code} while dragging window ${id}`);
    const s = Row.span(a, await this.snapshot());
    return { ups: s.ups, kbits: s.kbits, cpu: s.cpu, moves: count / s.seconds };
  }

  async video() {
    await this.settle();
    const from = this.desktop.events.length;
    this.desktop.tell('video on');
    await sleep(1000);
    const a = await this.snapshot();
    await sleep(VIDEO_SECONDS * 1000);
    const s = Row.span(a, await this.snapshot());
    // From the host's capture to the paint, where the page is told when that was.
    const delays = (await this.draws()).filter((d) => d.t >= a.t && d.capturedAt).map((d) => d.t - d.capturedAt);
    await this.page.screenshot({ path: join(this.dir, 'video.png') }).catch(() => {});
    this.desktop.tell('video off');
    const shown = await waitFor(() => this.desktop.events.slice(from).find((e) => e.event === 'video'), { timeout: 5000, what: 'the video to end' }).catch(() => null);
    return { ups: s.ups, kbits: s.kbits, cpu: s.cpu, viewerCpu: s.viewerCpu, sourceFps: shown ? shown.frames / shown.seconds : NaN,
      delay: percentile(delays, 50), delayP90: percentile(delays, 90) };
  }
}

// ---- the run -------------------------------------------------------------------------------------

const fixed = (v, digits = 0) => (Number.isFinite(v) ? v.toFixed(digits) : '–');
const TABLES = {
  still: ['Still screen', ['kbit/s', 'CPU %', 'updates/s', 'PSNR dB', 'exact %'],
    (r) => [fixed(r.kbits, 1), fixed(r.cpu, 1), fixed(r.ups, 2), fixed(r.psnr, 1), fixed(100 * r.exact, 2)]],
  type: ['Typing in a terminal', ['bytes/char', 'key→paint median ms', 'p90 ms', 'seen'], (r) => [fixed(r.bytesPerKey), fixed(r.median), fixed(r.p90), `${r.seen}/${TYPED}`]],
  scroll: ['Scrolling a text page (three lines a step)', ['updates/s', 'step→paint median ms', 'p90 ms', 'steps seen', 'kbit/s', 'CPU %', 'viewer CPU %', 'after: PSNR dB', 'exact %'],
    (r) => [fixed(r.ups, 1), fixed(r.median), fixed(r.p90), `${r.seen}/${r.steps}`, fixed(r.kbits), fixed(r.cpu), fixed(r.viewerCpu), fixed(r.psnr, 1), fixed(100 * r.exact, 2)]],
  drag: ['Dragging a window (up to 30 moves/s)', ['updates/s', 'kbit/s', 'CPU %', 'moves/s'],
    (r) => [fixed(r.ups, 1), fixed(r.kbits), fixed(r.cpu), fixed(r.moves, 1)]],
  video: ['Full-screen change (video-like)', ['updates/s', 'kbit/s', 'CPU %', 'viewer CPU %', 'source fps', 'capture→paint median (p90) ms'],
    (r) => [fixed(r.ups, 1), fixed(r.kbits), fixed(r.cpu), fixed(r.viewerCpu), fixed(r.sourceFps, 1), `${fixed(r.delay)} (${fixed(r.delayP90)})`]],
};

function report(results, scenarios, opts) {
  const lines = [`# Picture over a limited link (${new Date().toISOString()})`, '',
    'Rates: token bucket on the namespace loopback, shared by both directions. CPU: % of one core, of the host side',
    '(application + agent, or x11vnc + websockify); viewer CPU: Chromium showing the page.', ''];
  for (const name of scenarios) {
    const [title, heads, cells] = TABLES[name];
    lines.push(`## ${title}`, '', `| rate | path | ${heads.join(' | ')} |`, `|---|---|${heads.map(() => '---').join('|')}|`);
    for (const r of results) {
      const value = r.figures[name];
      const path = value && r.note ? `${r.path} (${r.note})` : r.path;
      lines.push(`| ${r.rate} | ${path} | ${value ? cells(value).join(' | ') : r.note || 'failed'} |`);
    }
    lines.push('');
  }
  if (opts.scrollSeconds) lines.push(`Scrolling measured over ${opts.scrollSeconds} s, a step every ${opts.scrollEvery} ms.`);
  return lines.join('\n');
}

async function measureRow(desktop, browser, opts, rate, path, dir) {
  const host = path === 'vnc' ? new HostVnc(desktop, dir) : new HostApp(desktop, opts.build, path !== 'today', dir, path === 'server');
  const figures = {};
  let note = '';
  // The server's certificate is its own (the agent pins it); the page is only measured.
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 }, ignoreHTTPSErrors: true });
  try {
    await host.start();
    await host.open(page);
    await waitFor(() => page.evaluate(() => (window.benchDraws || []).length > 0), { timeout: 30000, what: 'the first picture' });
    if (path !== 'today' && path !== 'vnc' && !(await page.evaluate(() => window.benchDraws.some((d) => d.rects)))) note = 'agent got written frames';
    const row = new Row(desktop, host, page, browserPids(), dir);
    for (const name of opts.scenarios) {
      try {
        figures[name] = name === 'scroll' ? await row.scroll(opts.scrollSeconds, opts.scrollEvery) : await row[name]();
      } catch (error) {
        console.error(`${rate}/${path}/${name}: ${error.message}`);
      }
      console.error(`${rate} ${path} ${name}: ${JSON.stringify(figures[name])}`);
    }
  } catch (error) {
    note = `failed: ${error.message.split('\n')[0]}`;
    console.error(`${rate}/${path}: ${error.message}`);
  } finally {
    await page.close().catch(() => {});
    await host.stop().catch(() => {});
  }
  const names = { vnc: 'x11vnc + noVNC', server: 'new, through the server' };
  return { rate: rate === 'unlimited' ? 'unlimited' : `${rate} Mbit/s`, path: names[path] ?? path, figures, note };
}

async function main() {
  const opts = options(process.argv.slice(2));
  // Only the namespace the wrapper made gets its loopback shaped, never the machine's.
  const ns = process.env.PICTURE_LINK_NETNS;
  if (!ns || !existsSync(`/run/netns/${ns}`) || statSync(`/run/netns/${ns}`).ino !== statSync('/proc/self/ns/net').ino) {
    throw new Error('run through bench/picture_link.sh: the link is shaped inside a network namespace of its own');
  }
  for (const name of opts.scenarios) if (!TABLES[name]) throw new Error(`unknown scenario ${name}`);
  const dir = mkdtempSync(join(tmpdir(), 'picture-link-logs-'));
  run('ip', ['link', 'set', 'lo', 'up']);
  const desktop = new Desktop(dir);
  const results = [];
  let browser;
  try {
    await desktop.start();
    browser = await launchBrowser(await loadPlaywright());
    const canPicture = HostApp.supportsPicture(opts.build);
    for (const rate of opts.rates) {
      setRate(rate);
      for (const path of opts.paths) {
        if ((path === 'new' || path === 'server') && !canPicture) {
          results.push({ rate: rate === 'unlimited' ? 'unlimited' : `${rate} Mbit/s`, path, figures: {}, note: 'not in this agent' });
          continue;
        }
        mkdirSync(join(dir, `${rate}-${path}`), { recursive: true });
        results.push(await measureRow(desktop, browser, opts, rate, path, join(dir, `${rate}-${path}`)));
      }
    }
  } finally {
    setRate('unlimited');
    if (browser) await browser.close().catch(() => {});
    await cleanUp();
  }
  const text = report(results, opts.scenarios, opts);
  writeFileSync(opts.out, `${text}\n`);
  console.log(text);
  console.log(`\n(written to ${opts.out}; logs in ${dir})`);
}

async function cleanUp() {
  for (const child of children.reverse()) await stop(child);
}

for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => cleanUp().finally(() => process.exit(1)));
main().catch(async (error) => {
  console.error(error.message);
  await cleanUp();
  process.exit(1);
});
