// Three servers working as one through a real Redis on loopback: a viewer reaches a device through
// whichever server it lands on, a device whose server dies is reachable through another, and keys,
// guess budgets and the directory are the cluster's, surviving a restart of Redis.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { generateKeyPairSync } from 'node:crypto';
import { mkdirSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { waitFor } from '../../tests/e2e/harness.mjs';
import { AGENT, SERVER, dir, children, frameBytes, line, start, stop, startAgent, freePort, startRedis, startClusterServer } from './support.mjs';
import { WsClient, fakeAgent } from '../../bench/ws_client.mjs';

describe('servers as one', () => {
  let redisPort, redis, ports, servers = {}, tls, agent, deviceId, code;
  const origin = (p) => ({ origin: `https://127.0.0.1:${p}` });
  // A login through the server on `p`: the first answer, and the socket.
  async function login(p, id, withCode, from) {
    const viewer = await WsClient.open(p, '/viewer', { ...origin(p), from });
    viewer.send({ type: 'auth', deviceId: id, code: withCode });
    return [await viewer.next(), viewer];
  }
  async function watch(p) {
    const [answer, viewer] = await login(p, deviceId, code);
    assert.equal(answer?.ok, true, JSON.stringify(answer));
    let frame;
    for (let i = 0; i < 20 && !Buffer.isBuffer(frame); i++) frame = await viewer.next(5000);
    assert.ok(Buffer.isBuffer(frame), 'a frame arrives');
    return viewer;
  }

  before(async () => {
    [redisPort, ...ports] = await Promise.all([freePort(), freePort(), freePort(), freePort(), freePort(), freePort()]);
    redis = await startRedis(redisPort);
    servers.a = await startClusterServer('a', ports[0], redisPort, ['--self-signed']);
    // Behind one name the servers share one certificate.
    tls = ['--cert', join(dir, 'a', 'cert.pem'), '--key', join(dir, 'a', 'key.pem')];
    servers.b = await startClusterServer('b', ports[1], redisPort, tls);
    servers.c = await startClusterServer('c', ports[2], redisPort, tls);
    agent = startAgent('agent', { server: `wss://127.0.0.1:${ports[0]},wss://127.0.0.1:${ports[1]}`, pin: servers.a.fingerprint });
    deviceId = (await line(agent, /\[agent\] connected: server wss:\/\/127\.0\.0\.1:\d+ knows/, 'the agent on a')).split(' ').pop();
    code = execFileSync(AGENT, ['--show-id'], { env: { ...process.env, HOME: join(dir, 'agent'), XDG_CONFIG_HOME: join(dir, 'agent', '.config') } })
      .toString().match(/验证码: (\S+)/)[1];
    setInterval(() => { if (agent.lines.some((l) => l.includes('"action":"start"'))) agent.stdin.write(frameBytes()); }, 100).unref();
  });
  after(async () => {
    for (const child of children.reverse()) await stop(child);
    rmSync(dir, { recursive: true, force: true });
  });

  it('lets a viewer on another server watch and control the device, and log in again and again', async () => {
    const viewer = await watch(ports[2]);
    viewer.send({ type: 'input', action: 'key', key: 'q' });
    await line(agent, /__QOVA_INPUT__.*"q"/, 'the key through two servers');
    viewer.close();
    // Right codes spend no budget, on the server that passes them on either: more than a burst of them.
    for (let i = 0; i < 6; i++) {
      const [answer, again] = await login(ports[2], deviceId, code);
      again.close();
      assert.equal(answer?.ok, true, JSON.stringify(answer));
    }
  });

  it("passes an agent's session connection that lands on another server on to the device's", async () => {
    const device = await fakeAgent(ports[1], '555666777');
    const viewer = await WsClient.open(ports[1], '/viewer', origin(ports[1]));
    viewer.send({ type: 'auth', deviceId: '555666777', code: 'anything' });
    const { ticket } = await device.next();
    device.send({ type: 'login-result', ticket, ok: true });
    const session = await WsClient.open(ports[2], '/session');
    session.send({ type: 'join', deviceId: '555666777', ticket });
    session.send({ type: 'auth', ok: true });
    assert.deepEqual(await viewer.next(), { type: 'auth', ok: true });
    viewer.send({ type: 'input', action: 'key', key: 'w' });
    assert.equal((await session.next())?.key, 'w');
    [device, viewer, session].forEach((s) => s.close());
  });

  it('reaches the device through another server within 10 s of its server dying', async () => {
    const started = Date.now();
    process.kill(-servers.a.pid, 'SIGKILL');
    await line(agent, new RegExp(`connected: server wss://127.0.0.1:${ports[1]} knows`), 'the agent on b', 10000);
    assert.ok(Date.now() - started < 10000);
    (await watch(ports[2])).close();
    servers.a = await startClusterServer('a', ports[0], redisPort, tls);
  });

  it('refuses a second key for a known ID on any server', async () => {
    await assert.rejects(fakeAgent(ports[0], deviceId), /device ID taken/);
  });

  it('spends one guess budget per device whichever server judges', async () => {
    // A device nobody has is judged where the guess lands; six guesses over three servers, from six
    // addresses, and only five are judged.
    const answers = await Promise.all([0, 1, 2, 0, 1, 2].map((n, i) => login(ports[n], '987654321', 'wrongcod', `127.0.0.${i + 2}`)));
    assert.deepEqual(answers.map(([a]) => a.retryMs > 0).filter(Boolean).length, 1, JSON.stringify(answers.map(([a]) => a)));
    answers.forEach(([, v]) => v.close());
  });

  it('keeps what is registered while Redis is away and after it restarts', async () => {
    process.kill(-redis.pid, 'SIGKILL');
    await redis.exited;
    await line(servers.c, /redis .* unreachable/, 'the server to notice');
    const [answer, viewer] = await login(ports[2], deviceId, code);
    viewer.close();
    assert.equal(answer.reason, 'directory unavailable, try later');
    redis = await startRedis(redisPort);
    await waitFor(async () => { const [a, v] = await login(ports[2], deviceId, code); v.close(); return a?.ok; }, { timeout: 10000, what: 'a login after redis is back' });
    await assert.rejects(fakeAgent(ports[2], deviceId), /device ID taken/);
  });

  it("keeps later servers' own devices' IDs, and refuses new devices once the cluster is full", async () => {
    const keys = generateKeyPairSync('ed25519');
    // Two servers alone, a device on each, join one after the other: Redis named by a host name,
    // with a cap the cluster already holds.
    for (const [name, p, id] of [['d', ports[3], '444555666'], ['e', ports[4], '444555667']]) {
      mkdirSync(join(dir, name));
      const alone = start(SERVER, [...tls, '--state', join(dir, name), '--listen', `127.0.0.1:${p}`]);
      await line(alone, /listening on/, `server ${name} alone`);
      (await fakeAgent(p, id, undefined, keys)).close();
      await stop(alone);
      await line(await startClusterServer(name, p, `localhost:${redisPort}`, [...tls, '--max-devices', '1']), /took 1 device keys/, `${name} to join`);
      await assert.rejects(fakeAgent(ports[0], id), /device ID taken/);
    }
    // Its own device still comes in, a new one does not.
    await assert.rejects(fakeAgent(ports[3], '333444555'), /registry full/);
    (await fakeAgent(ports[3], '444555666', undefined, keys)).close();
  });
});
