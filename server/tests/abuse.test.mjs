// The real qova-server played by scripts the way an attacker would: its own device and viewers, and
// messages of any size. What a single rule decides alone is tested lower.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import { children, dir, port, startServer, stop } from './support.mjs';
import { WsClient, fakeAgent } from './ws_client.mjs';

describe('server under abuse', () => {
  before(async () => { await startServer(); });
  after(async () => {
    for (const child of children.reverse()) await stop(child);
    rmSync(dir, { recursive: true, force: true });
  });

  it('caps the sessions of one device, and ends a session whose device sends oversized text', async () => {
    const deviceId = '900000001';
    const control = await fakeAgent(port, deviceId);
    const sessions = [];
    const answers = [];
    for (let i = 0; i < 11; i++) {
      const viewer = await WsClient.open(port, '/viewer', { origin: `https://127.0.0.1:${port}` });
      viewer.send({ type: 'auth', deviceId, code: 'anything' });
      const { ticket } = await control.next();
      control.send({ type: 'login-result', ticket, ok: true });
      const session = await WsClient.open(port, '/session');
      session.send({ type: 'join', deviceId, ticket });
      session.send({ type: 'auth', ok: true });
      answers.push(await viewer.next());
      sessions.push([session, viewer]);
    }
    assert.deepEqual(answers.map((a) => a?.type), [...Array(10).fill('auth'), 'ended'], JSON.stringify(answers.slice(-2)));
    const [session, viewer] = sessions[0];
    session.send({ type: 'status', pad: 'x'.repeat(70000) });
    assert.equal((await viewer.next())?.type, 'offline');
  });
});
