import { test, describe } from 'node:test';
import assert from 'node:assert/strict';

import { encodeEnterScene } from '../../../web/js/codec.js';
import {
  ConnState, Connection, DRAIN_RECONNECT_MS, DRAIN_REPEAT_MS, FULL_RETRY_MS, HEALTHY_RETRY_MS, MAX_RETRY_MS,
  MatchmakingRefused, PING_MS, PROBE_MS, RESUME_FIRST_MS, SEND_BURST, SEND_RATE, SILENCE_MS, WorldsFull, retryDelay,
} from '../../../web/js/net.js';

// Lets the promises already settled run their callbacks.
const settle = () => new Promise((r) => setImmediate(r));
// The answer matchmaking gives for world n.
const seat = (n) => ({ world: `w${n}`, url: `ws://127.0.0.1:${7000 + n}/ws`, seat: `seat${n}` });

class FakeClock {
  constructor() { this.t = 1000; this.timers = new Map(); this.next = 1; }
  now() { return this.t; }
  setTimeout(f, ms) { const id = this.next++; this.timers.set(id, { f, at: this.t + ms }); return id; }
  clearTimeout(id) { this.timers.delete(id); }
  setInterval(f, ms) { const id = this.next++; this.timers.set(id, { f, at: this.t + ms, every: ms }); return id; }
  clearInterval(id) { this.timers.delete(id); }
  advance(ms) {
    const end = this.t + ms;
    for (;;) {
      let due = null;
      for (const [id, tm] of this.timers) if (tm.at <= end && (!due || tm.at < due[1].at)) due = [id, tm];
      if (!due) break;
      const [id, tm] = due;
      this.t = tm.at;
      if (tm.every) tm.at += tm.every; else this.timers.delete(id);
      tm.f();
    }
    this.t = end;
  }
}

function fakeSockets() {
  const made = [];
  class FakeSocket {
    constructor(url) {
      this.url = url;
      this.readyState = 0;
      this.sent = [];
      this.closedWith = null;
      made.push(this);
    }
    send(bytes) { this.sent.push(bytes); }
    close(code) { this.closedWith = code; this.readyState = 3; }
    // test side
    open() { this.readyState = 1; this.onopen?.(); }
    receive(hex) { this.onmessage?.({ data: Uint8Array.from(Buffer.from(hex, 'hex')).buffer }); }
    serverClose(code, reason = '') { this.readyState = 3; this.onclose?.({ code, reason }); }
    sentHex() { return this.sent.map((b) => Buffer.from(b).toString('hex')); }
  }
  return { FakeSocket, made };
}

const LOGIN_OK_USER_3 = '000001000000000003000000';
const LOGIN_UNAUTHORIZED = '000001000100000000000000';
const LOGIN_FULL = '000001000200000000000000';
const LOGIN_DRAINING = '000001000500000000000000';
const POSE_LIST = '6300020001070000000103000400';

function setup(options = {}) {
  const clock = new FakeClock();
  const { FakeSocket, made } = fakeSockets();
  const states = [];
  const messages = [];
  const logins = [];
  const conn = new Connection({
    url: 'ws://127.0.0.1:1/ws', WebSocketImpl: FakeSocket, clock, random: () => 0.5, probe: async () => false,
    onState: (s) => states.push(s), onLogin: (id) => logins.push(id), onMessage: (m) => messages.push(m),
    ...options,
  });
  return { clock, made, states, messages, logins, conn };
}

function online(options) {
  const env = setup(options);
  env.conn.start();
  env.made[0].open();
  env.made[0].receive(LOGIN_OK_USER_3);
  return env;
}

describe('retryDelay', () => {
  test('doubles from one second up to the cap, with jitter', () => {
    const mid = () => 0.5;
    assert.deepEqual([0, 1, 2, 3, 4, 5, 6].map((a) => retryDelay(a, mid)), [1000, 2000, 4000, 8000, 16000, 30000, 30000]);
    assert.equal(retryDelay(1000, mid), MAX_RETRY_MS);
    assert.equal(retryDelay(0, () => 0), 800);
    assert.equal(retryDelay(0, () => 0.999999), 1200);
  });
});

describe('Connection', () => {
  test('logs in with the token, then hands game messages on', () => {
    const { conn, made, logins, messages } = setup({ token: 'abc' });
    conn.start();
    assert.equal(made.length, 1);
    assert.equal(made[0].url, 'ws://127.0.0.1:1/ws');
    assert.equal(conn.state, ConnState.Connecting);
    made[0].receive(POSE_LIST); // before login: ignored
    made[0].open();
    assert.deepEqual(made[0].sentHex(), ['0000010003616263']);
    assert.equal(conn.state, ConnState.LoggingIn);
    made[0].receive(LOGIN_OK_USER_3);
    assert.equal(conn.state, ConnState.Online);
    assert.deepEqual(logins, [3]);
    assert.equal(conn.userId, 3);
    made[0].receive(POSE_LIST);
    assert.equal(messages.length, 1);
    assert.equal(messages[0].type, 'PoseList');
  });

  test('pings at once and then every interval, and measures the round trip', () => {
    const { conn, made, clock } = online();
    const pings = () => made[0].sentHex().filter((h) => h.startsWith('00000300'));
    assert.deepEqual(pings(), ['0000030001000000']);
    clock.advance(15);
    made[0].receive('0000020001000000');
    assert.equal(conn.rtt, 15);
    made[0].receive('0000020001000000'); // a second answer to the same ping changes nothing
    assert.equal(conn.rtt, 15);
    clock.advance(PING_MS);
    assert.deepEqual(pings().at(-1), '0000030002000000');
  });

  test('malformed messages and failing handlers never leave the message loop', () => {
    const { conn, made, messages } = online({ onMessage: () => { throw new Error('boom'); } });
    const warn = console.warn;
    const error = console.error;
    console.warn = console.error = () => {};
    try {
      assert.doesNotThrow(() => made[0].receive('6300020002070000000103000400'));
      assert.doesNotThrow(() => made[0].receive('63'));
      assert.doesNotThrow(() => made[0].receive(POSE_LIST));
      assert.doesNotThrow(() => made[0].onmessage({ data: 'text' }));
    } finally {
      console.warn = warn;
      console.error = error;
    }
    assert.equal(conn.badFrames, 3);
    assert.equal(messages.length, 0);
    assert.equal(conn.state, ConnState.Online);
  });

  test('a dropped connection is retried with growing delays, reset by a login', () => {
    const { conn, made, clock } = online();
    made[0].serverClose(1006);
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.detail, 'connection lost');
    assert.equal(conn.retryAt, clock.now() + 1000);
    clock.advance(999);
    assert.equal(made.length, 1);
    clock.advance(1);
    assert.equal(made.length, 2);
    made[1].serverClose(1006); // the host is still down
    clock.advance(1999);
    assert.equal(made.length, 2);
    clock.advance(1);
    assert.equal(made.length, 3);
    made[2].open();
    made[2].receive(LOGIN_OK_USER_3);
    made[2].serverClose(1001, 'shutting down');
    assert.equal(conn.detail, 'server going away: shutting down');
    assert.equal(conn.retryAt, clock.now() + 1000);
  });

  test('a long wait is cut short once the server answers its health check again', async () => {
    let up = false;
    let probes = 0;
    const { conn, made, clock } = setup({ probe: async () => { probes++; return up; } });
    conn.start();
    for (let i = 0; i < 5; i++) {
      made.at(-1).serverClose(1006);
      clock.advance(conn.retryAt - clock.now());
    }
    made.at(-1).serverClose(1006);
    assert.equal(conn.retryAt - clock.now(), MAX_RETRY_MS);
    clock.advance(PROBE_MS);
    await settle();
    assert.ok(conn.retryAt - clock.now() > HEALTHY_RETRY_MS, 'a server that does not answer: the wait stays');
    up = true;
    clock.advance(PROBE_MS);
    await settle();
    assert.ok(conn.retryAt - clock.now() <= HEALTHY_RETRY_MS);
    const tries = made.length;
    clock.advance(HEALTHY_RETRY_MS);
    assert.equal(made.length, tries + 1);
    // Probing stops with the wait.
    const asked = probes;
    clock.advance(5 * PROBE_MS);
    assert.equal(probes, asked);
  });

  test('a refused token stops the retries until a new token is given', () => {
    const { conn, made, clock, states } = setup();
    conn.start();
    made[0].open();
    made[0].receive(LOGIN_UNAUTHORIZED);
    assert.equal(conn.state, ConnState.Refused);
    assert.equal(conn.detail, 'This server asks for a token.');
    assert.equal(made[0].closedWith, 1000);
    made[0].serverClose(1008); // already detached: no retry from it
    clock.advance(10 * MAX_RETRY_MS);
    assert.equal(made.length, 1);
    assert.equal(states.at(-1).state, ConnState.Refused);

    conn.setToken('wrong');
    conn.reconnectNow();
    made[1].open();
    assert.deepEqual(made[1].sentHex(), ['0000010005' + Buffer.from('wrong').toString('hex')]);
    made[1].receive(LOGIN_UNAUTHORIZED);
    assert.equal(conn.detail, 'Login refused: the token was not accepted.');
    assert.equal(conn.refusal, 1);
  });

  test('a full server is tried again later', () => {
    const { conn, made, clock } = setup();
    conn.start();
    made[0].open();
    made[0].receive(LOGIN_FULL);
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.detail, 'Login refused: the server is full.');
    clock.advance(1000);
    assert.equal(made.length, 2);
  });

  test('a silent connection is given up and retried', () => {
    const { conn, made, clock } = online();
    clock.advance(SILENCE_MS + PING_MS);
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.detail, 'no answer from the server');
    assert.equal(made[0].closedWith, 1000);
  });

  test('ticks keep a quiet connection alive', () => {
    const { conn, made, clock } = online();
    for (let i = 0; i < 30; i++) {
      clock.advance(1000);
      made[0].receive(POSE_LIST);
    }
    assert.equal(conn.state, ConnState.Online);
  });

  test('sends are held below the host\'s rate limit', () => {
    const { conn, clock } = online();
    let sent = 0;
    for (let i = 0; i < 100; i++) if (conn.send(encodeEnterScene())) sent++;
    assert.equal(sent, SEND_BURST);
    clock.advance(1000);
    sent = 0;
    for (let i = 0; i < 100; i++) if (conn.send(encodeEnterScene())) sent++;
    assert.equal(sent, SEND_RATE);
  });

  test('nothing is sent while offline; stop logs out', () => {
    const { conn, made } = online();
    made[0].serverClose(1006);
    assert.equal(conn.send(encodeEnterScene()), false);
    const env = online();
    env.conn.stop();
    assert.equal(env.made[0].sentHex().at(-1), '00000200');
    assert.equal(env.conn.state, ConnState.Stopped);
    env.clock.advance(MAX_RETRY_MS);
    assert.equal(env.made.length, 1);
  });
});

describe('Connection in a fleet', () => {
  // A matchmaker whose answers the test hands out one by one.
  function fleet(options = {}) {
    const asks = [];
    const matchmake = (token) => new Promise((resolve, reject) => asks.push({ token, resolve, reject }));
    const env = setup({ matchmake, ...options });
    return { ...env, asks };
  }

  test('connects to the world matchmaking names and logs in with its seat', async () => {
    const { conn, made, asks, logins } = fleet({ token: 'player' });
    conn.start();
    assert.equal(conn.state, ConnState.Matchmaking);
    assert.equal(made.length, 0);
    assert.equal(asks[0].token, 'player');
    asks[0].resolve(seat(1));
    await settle();
    assert.equal(made[0].url, 'ws://127.0.0.1:7001/ws');
    made[0].open();
    assert.deepEqual(made[0].sentHex(), ['0000010005' + Buffer.from('seat1').toString('hex')]);
    made[0].receive(LOGIN_OK_USER_3);
    assert.deepEqual(logins, [3]);
    assert.equal(conn.snapshot().world, 'w1');
  });

  test('a reconnection matchmakes again, and a refused seat is retried too', async () => {
    const { conn, made, asks, clock } = fleet();
    conn.start();
    asks[0].resolve(seat(1));
    await settle();
    made[0].open();
    made[0].receive(LOGIN_OK_USER_3);
    made[0].serverClose(1001);
    clock.advance(1000);
    assert.equal(asks.length, 2);
    asks[1].resolve(seat(2));
    await settle();
    assert.equal(made[1].url, 'ws://127.0.0.1:7002/ws');
    made[1].open();
    made[1].receive(LOGIN_UNAUTHORIZED); // the seat expired on the way
    assert.equal(conn.state, ConnState.Waiting);
    clock.advance(2000);
    assert.equal(asks.length, 3);
  });

  test('no free seat is retried; an unknown token stops until a new one', async () => {
    // The host answering its health check does not hurry matchmaking retries.
    let probes = 0;
    const { conn, asks, clock } = fleet({ probe: async () => { probes++; return true; } });
    conn.start();
    asks[0].reject(new Error('every world is full'));
    await settle();
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.detail, 'no seat: every world is full');
    assert.equal(conn.snapshot().waitReason, 'unavailable');
    clock.advance(999);
    await settle();
    assert.deepEqual([asks.length, probes], [1, 0]);
    clock.advance(1);
    asks[1].reject(new MatchmakingRefused('This server asks for a token.'));
    await settle();
    assert.equal(conn.state, ConnState.Refused);
    clock.advance(10 * MAX_RETRY_MS);
    assert.equal(asks.length, 2);
  });

  test('every world full: the first retry waits longer and the wait is not cut by health checks', async () => {
    const { conn, asks, clock } = fleet({ probe: async () => true });
    conn.start();
    asks[0].reject(new WorldsFull('every world is full'));
    await settle();
    assert.equal(conn.snapshot().waitReason, 'full');
    assert.equal(conn.detail, 'all worlds are full');
    assert.equal(conn.retryAt - clock.now(), FULL_RETRY_MS);
    clock.advance(FULL_RETRY_MS - 1);
    await settle();
    assert.equal(asks.length, 1);
    clock.advance(1);
    assert.equal(asks.length, 2);
  });

  test('an answer that comes after the page gave up is ignored', async () => {
    const { conn, made, asks } = fleet();
    conn.start();
    conn.stop();
    asks[0].resolve(seat(1));
    await settle();
    assert.equal(made.length, 0);
    assert.equal(conn.state, ConnState.Stopped);
  });
});

describe('Connection resume', () => {
  const TOKEN_A = '0000030010' + 'aa'.repeat(16);
  const TOKEN_B = '0000030010' + 'bb'.repeat(16);
  const RESUME_OK_USER_3 = '000004000000000003000000';
  const RESUME_EXPIRED = '000004000300000000000000';
  const PONG = '0000020001000000';
  const resumeHex = (token, frames) => {
    const n = Buffer.alloc(4);
    n.writeUInt32LE(frames);
    return '0000040010' + token.repeat(16) + n.toString('hex');
  };
  const isLogin = (hex) => hex.startsWith('00000100');

  // Online as user 3 with a resume token and `frames` module messages received.
  function resumable(options, frames = 2) {
    const env = online(options);
    env.made[0].receive(TOKEN_A);
    for (let i = 0; i < frames; i++) env.made[0].receive(POSE_LIST);
    env.made[0].receive(PONG); // the host's own messages are not frames
    return env;
  }

  test('a drop is resumed at once on the same URL with the frames received; the player is not logged in again', () => {
    const { conn, made, clock, logins, messages, states } = resumable();
    const before = states.length;
    made[0].serverClose(1006);
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.snapshot().resuming, true);
    assert.ok(conn.retryAt - clock.now() <= RESUME_FIRST_MS);
    clock.advance(RESUME_FIRST_MS);
    assert.equal(made.length, 2);
    assert.equal(made[1].url, made[0].url);
    assert.equal(conn.state, ConnState.Resuming);
    made[1].open();
    assert.deepEqual(made[1].sentHex(), [resumeHex('aa', 2)]);
    assert.equal(conn.state, ConnState.Resuming);
    made[1].receive(RESUME_OK_USER_3);
    assert.equal(conn.state, ConnState.Online);
    assert.equal(conn.userId, 3);
    assert.deepEqual(logins, [3]);
    assert.ok(!states.slice(before).some((s) => s.state === ConnState.LoggingIn));
    made[1].receive(TOKEN_B);
    made[1].receive(POSE_LIST); // what the host kept while the page was away
    assert.equal(messages.length, 3);
    assert.ok(made[1].sentHex().some((h) => h.startsWith('00000300')), 'pings again');

    // The next drop resumes with the new token, the count running on.
    made[1].serverClose(1006);
    clock.advance(RESUME_FIRST_MS);
    made[2].open();
    assert.deepEqual(made[2].sentHex(), [resumeHex('bb', 3)]);
  });

  test('a refused resume logs in afresh at once, and says so', () => {
    const refused = [];
    const { conn, made, clock, logins } = resumable({ onResumeRefused: (code) => refused.push(code) });
    made[0].serverClose(1006);
    clock.advance(RESUME_FIRST_MS);
    made[1].open();
    made[1].receive(RESUME_EXPIRED);
    assert.deepEqual(refused, [3]);
    assert.equal(made[1].closedWith, 1000);
    assert.equal(made.length, 3, 'the next connection without waiting');
    made[2].open();
    assert.ok(isLogin(made[2].sentHex()[0]));
    made[2].receive('000001000000000009000000');
    assert.deepEqual(logins, [3, 9]);
    assert.equal(conn.userId, 9);
  });

  test('a host that cannot be reached is tried again with backoff, still to resume', () => {
    const { conn, made, clock } = resumable();
    made[0].serverClose(1006);
    clock.advance(RESUME_FIRST_MS);
    made[1].serverClose(1006);
    assert.equal(conn.snapshot().resuming, true);
    clock.advance(conn.retryAt - clock.now());
    made[2].open();
    assert.deepEqual(made[2].sentHex(), [resumeHex('aa', 2)]);
  });

  test('a silent connection is given up and resumed', () => {
    const { made, clock } = resumable();
    clock.advance(SILENCE_MS + PING_MS);
    assert.equal(made[0].closedWith, 1000);
    clock.advance(RESUME_FIRST_MS);
    made.at(-1).open();
    assert.deepEqual(made.at(-1).sentHex(), [resumeHex('aa', 2)]);
  });

  test('no resume without a token, after a takeover or a drain, after a logout or a new token', () => {
    const cases = [
      ['no token yet', (env) => { env.made[0].serverClose(1006); }, online],
      ['taken over', (env) => { env.made[0].serverClose(1008, 'resumed_elsewhere'); }],
      ['drained', (env) => { env.made[0].serverClose(1001, 'draining'); }],
      ['a new token', (env) => { env.conn.setToken('other'); env.conn.reconnectNow(); }],
      ['stopped', (env) => { env.conn.stop(); env.conn.start(); }],
    ];
    for (const [name, act, make = resumable] of cases) {
      const env = make();
      act(env);
      env.clock.advance(MAX_RETRY_MS);
      env.made.at(-1).open();
      assert.ok(isLogin(env.made.at(-1).sentHex()[0]), name);
    }
  });

  test('in a fleet a resume goes back to its world; matchmaking only once the fleet no longer lists it', async () => {
    const asks = [];
    const gone = [];
    let isGone = false;
    const matchmake = (token) => new Promise((resolve, reject) => asks.push({ token, resolve, reject }));
    const { conn, made, clock } = setup({ matchmake, worldGone: async (w) => { gone.push(w); return isGone; } });
    conn.start();
    asks[0].resolve({ world: 'w1', url: 'ws://127.0.0.1:7001/ws', seat: 'seat1' });
    await settle();
    made[0].open();
    made[0].receive(LOGIN_OK_USER_3);
    made[0].receive(TOKEN_A);
    made[0].serverClose(1006);
    clock.advance(RESUME_FIRST_MS);
    assert.equal(asks.length, 1);
    assert.equal(made[1].url, 'ws://127.0.0.1:7001/ws');
    assert.deepEqual(gone, [], 'the first try does not ask');
    made[1].serverClose(1006); // the world does not answer
    clock.advance(conn.retryAt - clock.now());
    await settle();
    assert.deepEqual(gone, ['w1']);
    assert.equal(made[2].url, 'ws://127.0.0.1:7001/ws', 'still listed: resumed there again');
    made[2].serverClose(1006);
    isGone = true;
    clock.advance(conn.retryAt - clock.now());
    await settle();
    assert.equal(asks.length, 2, 'gone from the list: matchmaking');
    assert.equal(made.length, 3);
  });
});

describe('Connection and a draining world', () => {
  function fleet() {
    const asks = [];
    const matchmake = () => new Promise((resolve) => asks.push(resolve));
    return { ...setup({ matchmake }), asks };
  }
  const waited = (states) => states.some((s) => s.state === ConnState.Waiting || s.state === ConnState.Refused);

  async function playing(env, n) {
    env.asks[env.asks.length - 1](seat(n));
    await settle();
    env.made[env.made.length - 1].open();
    env.made[env.made.length - 1].receive(LOGIN_OK_USER_3);
  }

  for (const [how, sendAway] of [
    ['close 1001 "draining"', (ws) => ws.serverClose(1001, 'draining')],
    ['LoginAck 5', (ws) => ws.receive(LOGIN_DRAINING)],
  ]) {
    test(`in a fleet, ${how} matchmakes into another world at once, without a wait`, async () => {
      const env = fleet();
      env.conn.start();
      if (how === 'LoginAck 5') {
        env.asks[0](seat(1));
        await settle();
        env.made[0].open();
      } else {
        await playing(env, 1);
      }
      sendAway(env.made[0]);
      assert.equal(env.asks.length, 2, 'matchmaking again, no clock advanced');
      assert.equal(env.conn.leftDraining, true);
      await playing(env, 2);
      assert.equal(env.conn.state, ConnState.Online);
      assert.equal(env.conn.snapshot().world, 'w2');
      assert.equal(env.conn.leftDraining, false);
      assert.equal(waited(env.states), false, 'never shown as disconnected');
    });
  }

  test('on its own, the page shows "connecting" and logs in again at the same address shortly', () => {
    const { conn, made, states, clock } = online();
    made[0].serverClose(1001, 'draining');
    assert.equal(conn.state, ConnState.Connecting);
    clock.advance(DRAIN_RECONNECT_MS - 1);
    assert.equal(made.length, 1);
    clock.advance(1);
    assert.equal(made[1].url, 'ws://127.0.0.1:1/ws');
    made[1].open();
    made[1].receive(LOGIN_OK_USER_3);
    assert.equal(waited(states), false);
  });

  test('a second notice soon after is waited out like a refusal; a plain 1001 is a lost connection', () => {
    const { conn, made, clock } = online();
    made[0].serverClose(1001, 'draining');
    clock.advance(DRAIN_RECONNECT_MS);
    made[1].open();
    made[1].receive(LOGIN_DRAINING);
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.waitReason, 'refused');

    clock.advance(DRAIN_REPEAT_MS + MAX_RETRY_MS);
    made[made.length - 1].open();
    made[made.length - 1].receive(LOGIN_OK_USER_3);
    made[made.length - 1].serverClose(1001, 'shutdown');
    assert.equal(conn.state, ConnState.Waiting);
    assert.equal(conn.waitReason, 'lost');
  });
});
