// The page's sealing code under Node against the real agent: a login with a wrong code and one with
// the right code, the sealed messages both ways, and a replayed message that ends the session.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as seal from '../web/seal.mjs';

const home = mkdtempSync(join(tmpdir(), 'qova-seal-'));
const agent = spawn(process.env.QOVA_AGENT_PATH, ['--nogui'], {
  env: { ...process.env, HOME: home, XDG_CONFIG_HOME: '', QOVA_AGENT_LISTEN: '127.0.0.1:0', QOVA_MAC_SCREEN_TRUSTED: '1', QOVA_MAC_INPUT_TRUSTED: '1' },
  stdio: ['pipe', 'pipe', 'inherit'],
});
after(() => agent.kill());
let output = '';
const waiters = [];
agent.stdout.on('data', (chunk) => { output += chunk; waiters.forEach((wake) => wake()); });
const lineLike = (pattern) => new Promise((resolve, reject) => {
  const timer = setTimeout(() => reject(new Error(`no line like ${pattern}`)), 10000);
  const look = () => { const found = output.split('\n').find((l) => pattern.test(l)); if (found) clearTimeout(timer), resolve(found); };
  waiters.push(look), look();
});

// Messages as they come, text as objects and binary as bytes; `next()` waits for one.
function open(port) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
  ws.binaryType = 'arraybuffer';
  const queue = [];
  let wake = () => {};
  ws.onmessage = (e) => { queue.push(typeof e.data === 'string' ? JSON.parse(e.data) : new Uint8Array(e.data)); wake(); };
  ws.onclose = () => { queue.push('closed'); wake(); };
  const next = async () => { while (!queue.length) await new Promise((r) => { wake = r; }); return queue.shift(); };
  return new Promise((resolve) => { ws.onopen = () => resolve({ ws, next }); });
}

async function login(port, code, aeads = [seal.AES_GCM]) {
  const { ws, next } = await open(port);
  const attempt = seal.startLogin(code, seal.LOCAL_CHANNEL, aeads);
  ws.send(JSON.stringify(attempt.opening));
  const share = await next();
  assert.equal(share.aead, aeads[0], 'the cipher offered is taken, none without an offer');
  const answer = attempt.answer(share, seal.LOCAL_BINDING);
  ws.send(JSON.stringify(answer.proof));
  const reply = await next();
  if (!(reply instanceof Uint8Array)) return { reply };
  const receive = async (sealed) => JSON.parse((await answer.fromAgent.open(sealed || await next())).payload);
  assert.ok(attempt.accept(await receive(reply)), "the agent's proof");
  return { ws, next, answer, receive };
}

test('the page and the agent agree on the key, seal both ways and end on a replay', async () => {
  const port = (await lineLike(/connected: viewer at http:\/\/127\.0\.0\.1:\d+\//)).match(/:(\d+)\/$/)[1];
  const code = JSON.parse(readFileSync(join(home, '.config/qova-lumaro-agent/state.json'))).accessCode;
  assert.deepEqual((await login(port, 'wrongcod')).reply, { type: 'auth', ok: false });
  const chacha = await login(port, code, []);
  assert.equal((await chacha.receive()).ok, true);
  chacha.ws.close();

  const { ws, next, answer, receive } = await login(port, code);
  assert.equal((await receive()).ok, true);
  const permission = await next();
  const flipped = permission.slice();
  flipped[5] ^= 1;
  const copy = new seal.SealedDirection(answer.fromAgent.key, seal.Direction.agentToPage, seal.AES_GCM);
  copy.counter = answer.fromAgent.counter;
  assert.deepEqual(await receive(permission), { type: 'permission', known: true, screen: true, input: true });
  assert.equal(await copy.open(flipped), null, 'a flipped message does not open on the page');
  assert.equal(await copy.open(permission), null, 'nor does anything after it');
  const tap = await answer.toAgent.seal(JSON.stringify({ type: 'input', action: 'text', text: 'sealed' }));
  ws.send(tap);
  await lineLike(/^__QOVA_INPUT__.*"sealed"/);
  ws.send(tap);
  await lineLike(/sealed message did not open/);
  let last;
  while ((last = await next()) !== 'closed') assert.ok(last instanceof Uint8Array, 'nothing in the clear after sealing');
});
