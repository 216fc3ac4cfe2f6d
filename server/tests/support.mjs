// Shared by the server's browser test and its latency benchmark: the real qova-server with a
// self-signed certificate, the real agent (optionally in a network namespace of its own whose only way
// out is a Unix-socket bridge), frames fed to the agent the way the application feeds them.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { waitFor, sleep } from '../../tests/e2e/harness.mjs';

export const { QOVA_SERVER_PATH: SERVER, QOVA_AGENT_PATH: AGENT } = process.env;
export const dir = mkdtempSync(join(tmpdir(), 'qova-server-test-'));
export const children = [];
export const makeJpeg = (size, image = 'xc:#e0309a') => execFileSync('convert', ['-size', size, image, 'jpg:-']);
const smallJpeg = makeJpeg('320x200');
// One frame message as the application writes it to the agent, stamped now.
export const frameBytes = (jpeg = smallJpeg) => Buffer.concat([Buffer.from(`__QOVA_FRAME_BYTES__${JSON.stringify(
  { width: 320, height: 200, inputWidth: 1280, inputHeight: 800, timestamp: Date.now(), bytes: jpeg.length })}\n`), jpeg]);

// A child in its own process group whose output lines are kept; ended by its id.
export function start(command, args, env = process.env) {
  const child = spawn(command, args, { env, detached: true, stdio: ['pipe', 'pipe', 'pipe'] });
  child.lines = [];
  child.stdin.on('error', () => {});  // an ended agent's input
  for (const stream of [child.stdout, child.stderr]) {
    let rest = '';
    stream.on('data', (chunk) => { const parts = (rest + chunk).split('\n'); rest = parts.pop(); child.lines.push(...parts); });
  }
  child.exited = new Promise((resolve) => child.once('exit', resolve));
  children.push(child);
  return child;
}
export const line = (child, pattern, what, timeout = 10000) => waitFor(() => child.lines.find((l) => pattern.test(l)), { timeout, what });
export async function stop(child) {
  try { process.kill(-child.pid, 'SIGTERM'); } catch { return; }
  if (!(await Promise.race([child.exited.then(() => true), sleep(3000)]))) { try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ } }
  await child.exited;
}

export let port = 0;
export let fingerprint = '';
// `extra` are more arguments; a first one that is an array is a command to run the server under.
export async function startServer(...extra) {
  const prefix = Array.isArray(extra[0]) ? extra.shift() : [];
  const server = start(prefix[0] ?? SERVER, [...prefix.slice(1), ...(prefix.length ? [SERVER] : []), '--self-signed', '--state', join(dir, 'server'), '--listen', `127.0.0.1:${port}`, ...extra]);
  port = Number((await line(server, /listening on/, 'the server')).match(/:(\d+)$/)[1]);
  fingerprint = (await line(server, /SHA-256/, 'the fingerprint')).split(' ').pop();
  return server;
}

// The agent, its home in `name`; with `isolated` inside a fresh network namespace reaching the server
// only through socat over a Unix socket.
export function startAgent(name, { isolated = false, pin = fingerprint, server = `wss://127.0.0.1:${port}` } = {}) {
  const home = join(dir, name);
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: join(home, '.config'), QOVA_AGENT_LISTEN: '127.0.0.1:0',
    QOVA_AGENT_SERVER: server, QOVA_AGENT_SERVER_FINGERPRINT: pin, QOVA_MAC_SCREEN_TRUSTED: '1', QOVA_MAC_INPUT_TRUSTED: '1' };
  if (!isolated) return start(AGENT, ['--nogui'], env);
  const bridge = join(dir, `${name}.sock`);
  start('socat', [`UNIX-LISTEN:${bridge},fork`, `TCP:127.0.0.1:${port}`]);
  // Unprivileged, a user namespace of its own lets it make the network namespace.
  return start('unshare', [process.getuid() === 0 ? '-n' : '-rn', 'sh', '-c', `ip link set lo up && (socat TCP-LISTEN:${port},bind=127.0.0.1,fork,reuseaddr UNIX-CONNECT:${bridge} &) && sleep 0.2 && exec "$0" --nogui`, AGENT], env);
}


export const freePort = () => new Promise((resolve) => { const s = createServer().listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); }); });

// A real Redis on a free loopback port, every write on disk before it is answered; started again on
// the same port and folder it has what it had.
export async function startRedis(redisPort, folder = join(dir, 'redis')) {
  mkdirSync(folder, { recursive: true });
  const redis = start('redis-server', ['--port', String(redisPort), '--bind', '127.0.0.1', '--dir', folder, '--appendonly', 'yes',
    '--appendfsync', 'always', '--save', '']);
  await line(redis, /Ready to accept connections/, 'redis');
  return redis;
}

// One server of a cluster on `serverPort`, named `id`; `tls` are its certificate arguments; `redis` a
// port on 127.0.0.1, or "HOST:PORT".
export async function startClusterServer(id, serverPort, redis, tls) {
  const secret = join(dir, 'cluster-secret');
  writeFileSync(secret, 'a cluster secret of some length\n');
  mkdirSync(join(dir, id), { recursive: true });
  const server = start(SERVER, [...tls, '--state', join(dir, id), '--listen', `127.0.0.1:${serverPort}`, '--redis', typeof redis === 'number' ? `127.0.0.1:${redis}` : redis,
    '--server-id', id, '--peer', `wss://127.0.0.1:${serverPort}`, '--cluster-secret-file', secret]);
  server.fingerprint = (await line(server, /SHA-256/, `server ${id}`)).split(' ').pop();
  return server;
}
