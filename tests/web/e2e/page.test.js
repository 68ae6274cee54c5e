// The page in a real browser against a real corvane-host.
//
// CORVANE_HOST_BIN: the host to run (default build/default/bin/corvane-host);
// CORVANE_CHROMIUM: the browser (default /usr/bin/chromium);
// CORVANE_SCREENSHOT_DIR: where the screenshots go (default build/web-e2e).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import WebSocket from 'ws';

const ROOT = fileURLToPath(new URL('../../../', import.meta.url));
const HOST_BIN = path.resolve(ROOT, process.env.CORVANE_HOST_BIN ?? 'build/default/bin/corvane-host');
const CHROMIUM = process.env.CORVANE_CHROMIUM ?? '/usr/bin/chromium';
const SHOTS = path.resolve(ROOT, process.env.CORVANE_SCREENSHOT_DIR ?? 'build/web-e2e');
const WEB_ROOT = path.join(ROOT, 'web');
const WAIT_MS = 10000;

function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Runs corvane-host on a port of its own and waits until it answers /healthz.
async function startHost({ port, args = [] } = {}) {
  if (!existsSync(HOST_BIN)) {
    throw new Error(`corvane-host not found at ${HOST_BIN}; build it or set CORVANE_HOST_BIN`);
  }
  const hostPort = port ?? await freePort();
  const proc = spawn(HOST_BIN, ['--listen', `127.0.0.1:${hostPort}`, '--web-root', WEB_ROOT, ...args], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  proc.stdout.on('data', (d) => { output = (output + d).slice(-20000); });
  proc.stderr.on('data', (d) => { output = (output + d).slice(-20000); });
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  let gone = null;
  exited.then((r) => { gone = r; });
  const url = `http://127.0.0.1:${hostPort}`;
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    if (gone) throw new Error(`corvane-host exited (${gone.code ?? gone.signal}) before it was ready:\n${output}`);
    try {
      const res = await fetch(`${url}/healthz`);
      if (res.ok) break;
    } catch { /* not listening yet */ }
    if (Date.now() > deadline) {
      proc.kill('SIGKILL');
      throw new Error(`corvane-host did not answer /healthz within ${WAIT_MS} ms:\n${output}`);
    }
    await sleep(100);
  }
  return {
    url,
    port: hostPort,
    output: () => output,
    async stop() {
      if (gone) return gone;
      proc.kill('SIGTERM');
      const timer = setTimeout(() => proc.kill('SIGKILL'), 5000);
      const result = await exited;
      clearTimeout(timer);
      return result;
    },
  };
}

let browser;
const pageErrors = [];

async function openPage(url) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 860 } });
  const page = await context.newPage();
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(url);
  return page;
}

const text = (page, sel) => page.locator(sel).textContent();
const expectText = (page, sel, expected) => page.waitForFunction(
  ([s, want]) => {
    const got = document.querySelector(s)?.textContent ?? '';
    return want instanceof RegExp ? want.test(got) : got === want;
  },
  [sel, expected], { timeout: WAIT_MS },
);
const expectConn = (page, state) => page.waitForFunction(
  (want) => document.body.dataset.conn === want, state, { timeout: WAIT_MS },
);

// A real mouse click on the middle of a board cell.
async function clickCell(page, x, y) {
  const at = await page.evaluate(([cx, cy]) => window.corvane.view.cellToClient(cx, cy), [x, y]);
  await page.mouse.click(at.x, at.y);
}

before(async () => {
  mkdirSync(SHOTS, { recursive: true });
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--no-first-run'],
  });
});

after(async () => {
  await browser?.close();
  assert.deepEqual(pageErrors, [], 'no uncaught errors in the page');
});

describe('playing on an open server', () => {
  let host;
  let first;
  let second;
  let firstId;
  let secondId;

  before(async () => { host = await startHost(); });
  after(async () => {
    const result = await host?.stop();
    if (result) assert.equal(result.code, 0, `corvane-host exit on SIGTERM:\n${host.output()}`);
  });

  test('a new player stands at (20, 20) and sees the objects and the ticks', async () => {
    first = await openPage(host.url);
    await expectConn(first, 'online');
    await expectText(first, '#st-user', /^\d+$/);
    firstId = await text(first, '#st-user');
    await expectText(first, '#st-cell', '20, 20');
    await expectText(first, '#st-objects', '100');
    await expectText(first, '#st-tick', /s ago/);
    await expectText(first, '#st-hp', '100');
    await expectText(first, '#st-ping', /^\d+ ms$/);
  });

  test('clicking an empty cell moves the player there', async () => {
    await clickCell(first, 35, 28);
    await expectText(first, '#st-cell', '35, 28');
  });

  test('two players see each other', async () => {
    second = await openPage(host.url);
    await expectConn(second, 'online');
    await expectText(second, '#st-cell', '20, 20');
    secondId = await text(second, '#st-user');
    assert.notEqual(secondId, firstId);
    for (const page of [first, second]) {
      await expectText(page, '#st-players', '2');
      for (const id of [firstId, secondId]) {
        await page.locator(`#players li[data-user-id="${id}"]`).waitFor({ timeout: WAIT_MS });
      }
    }
    await expectText(second, `#players li[data-user-id="${firstId}"] span:last-child`, /^\(35, 28\)/);
    await first.screenshot({ path: path.join(SHOTS, 'two-players.png') });
  });

  test('attacks lower hit points and are shown to everyone', async () => {
    await second.keyboard.press('s');
    await expectText(second, '#st-hp', '90');
    await expectText(first, '#events li', /area attack/);

    await clickCell(first, 20, 20);
    await expectText(first, '#target strong', `player #${secondId}`);
    await first.keyboard.press('a');
    await expectText(second, '#st-hp', '80');
    await expectText(second, '#events li', /hit you: hp 80/);
    await second.screenshot({ path: path.join(SHOTS, 'after-attacks.png') });
  });

  test('a dropped connection is shown and comes back when the server does', async () => {
    const port = host.port;
    assert.equal((await host.stop()).code, 0);
    await expectConn(first, 'waiting');
    await expectText(first, '#overlay', /Disconnected/);
    host = await startHost({ port });
    await expectConn(first, 'online');
    await expectText(first, '#st-cell', '20, 20');
  });
});

// A player beside the page, in node, with permessage-deflate as `ws` offers
// it: logs in, enters the scene, moves where it is told.
function crowdPlayer(url) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`${url.replace('http', 'ws')}/ws`, { perMessageDeflate: true });
    const le16 = (...v) => Buffer.from(new Int16Array(v).buffer);
    ws.on('error', reject);
    ws.on('open', () => ws.send(Buffer.from([0, 0, 1, 0, 0])));
    ws.on('message', (data) => {
      if (data.readUInt16LE(0) === 0 && data.readUInt16LE(2) === 1) {
        ws.send(Buffer.from([99, 0, 1, 0]));
        resolve({
          id: String(data.readUInt32LE(8)),
          moveTo: (x, y) => ws.send(Buffer.concat([Buffer.from([99, 0, 2, 0]), le16(x, y)])),
          close: () => new Promise((done) => { ws.on('close', done); ws.close(); }),
        });
      }
    });
  });
}

async function metric(host, series) {
  const body = await (await fetch(`${host.url}/metrics`)).text();
  const line = body.split('\n').find((l) => l.startsWith(`${series} `));
  return line === undefined ? undefined : Number(line.split(' ')[1]);
}

describe('a compressed connection', () => {
  let host;
  before(async () => { host = await startHost({ args: ['--compression-epoch', '50'] }); });
  after(async () => { await host?.stop(); });

  test('the browser inflates shared broadcasts across private messages and epochs', async () => {
    const context = await browser.newContext({ viewport: { width: 1280, height: 860 } });
    const page = await context.newPage();
    page.on('pageerror', (e) => pageErrors.push(e.message));
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    let extensions = null;
    let framesIn = 0;
    let closed = 0;
    cdp.on('Network.webSocketHandshakeResponseReceived', (e) => {
      const headers = Object.fromEntries(Object.entries(e.response.headers).map(([k, v]) => [k.toLowerCase(), v]));
      extensions = headers['sec-websocket-extensions'];
    });
    cdp.on('Network.webSocketFrameReceived', () => { framesIn += 1; });
    cdp.on('Network.webSocketClosed', () => { closed += 1; });
    await page.goto(host.url);
    await expectConn(page, 'online');
    await expectText(page, '#st-cell', '20, 20');
    assert.match(extensions ?? '', /^permessage-deflate; client_no_context_takeover/);

    // Players join one by one (each joins the shared compressor at a new
    // epoch) and move, while the page gets private answers in between:
    // pongs of 200 bytes, sent to it alone and so uncompressed.
    const crowd = [];
    const epochsBefore = await metric(host, 'corvane_compression_epochs_total');
    for (let i = 0; i < 6; i += 1) {
      crowd.push(await crowdPlayer(host.url));
      await sleep(80);
      for (const [k, p] of crowd.entries()) p.moveTo(2 + k, 3 + i);
      await page.evaluate(() => {
        const ping = new Uint8Array(204);
        ping.set([0, 0, 3, 0]);
        ping.fill(7, 4);
        window.corvane.conn.ws.send(ping);
      });
    }
    for (const [k, p] of crowd.entries()) {
      await expectText(page, `#players li[data-user-id="${p.id}"] span:last-child`, new RegExp(`^\\(${2 + k}, 8\\)`));
    }
    await expectText(page, '#st-players', '7');
    assert.ok(await metric(host, 'corvane_compression_epochs_total') >= epochsBefore + 3, 'epochs went by');
    assert.equal(await metric(host, 'corvane_compression_group_members'), 7, 'the page is in the group');

    // Alone in the group, the page's own moves come back compressed and are
    // decoded by the browser's inflater alone.
    for (const p of crowd) await p.close();
    await expectText(page, '#st-players', '1');
    const after = await metric(host, 'corvane_compression_bytes_after_total');
    await clickCell(page, 30, 9);
    await expectText(page, '#st-cell', '30, 9');
    assert.ok(await metric(host, 'corvane_compression_bytes_after_total') > after);
    assert.equal(await metric(host, 'corvane_compression_group_members'), 1);
    const before = await metric(host, 'corvane_compression_bytes_before_total');
    assert.ok(await metric(host, 'corvane_compression_bytes_after_total') * 3 < before, 'broadcasts shrank');
    assert.equal(await metric(host, 'corvane_inflate_failures_total'), 0);
    assert.ok(framesIn > 20);
    assert.equal(closed, 0, 'the connection never failed');
    await expectConn(page, 'online');
    await context.close();
  });
});

describe('a server with a token file', () => {
  let host;
  before(async () => {
    const dir = mkdtempSync(path.join(os.tmpdir(), 'corvane-e2e-'));
    const tokens = path.join(dir, 'tokens');
    writeFileSync(tokens, 's3cret\n');
    host = await startHost({ args: ['--token-file', tokens] });
  });
  after(async () => { await host?.stop(); });

  test('asks for a token, shows a refusal plainly and logs in with the right one', async () => {
    const page = await openPage(host.url);
    await expectConn(page, 'refused');
    await expectText(page, '#token-msg', 'This server asks for a token.');
    await page.fill('#token', 'wrong');
    await page.press('#token', 'Enter');
    await expectText(page, '#token-msg', 'Login refused: the token was not accepted.');
    await page.screenshot({ path: path.join(SHOTS, 'token-refused.png') });
    await page.fill('#token', 's3cret');
    await page.click('#token-form button');
    await expectConn(page, 'online');
    await expectText(page, '#st-cell', '20, 20');
    assert.equal(await page.locator('#token-form').isHidden(), true);
  });
});

// Debian's redis-server on a port of its own, without persistence.
async function startRedis() {
  const port = await freePort();
  const proc = spawn('/usr/bin/redis-server', ['--port', String(port), '--bind', '127.0.0.1', '--save', '',
    '--appendonly', 'no'], { stdio: 'ignore' });
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    const up = await new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1', () => { sock.end(); resolve(true); });
      sock.on('error', () => resolve(false));
    });
    if (up) break;
    if (Date.now() > deadline) {
      proc.kill('SIGKILL');
      throw new Error('redis-server did not start');
    }
    await sleep(50);
  }
  return { url: `redis://127.0.0.1:${port}`, stop: () => proc.kill('SIGKILL') };
}

describe('a fleet of worlds', () => {
  let redis;
  const hosts = {};
  const world = (name, r) => startHost({ args: ['--redis', r.url, '--world', name, '--max-users', '1'] });

  before(async () => {
    redis = await startRedis();
    hosts.alpha = await world('alpha', redis);
    hosts.bravo = await world('bravo', redis);
  });
  after(async () => {
    for (const h of Object.values(hosts)) await h.stop();
    redis?.stop();
  });

  test('the page shows the lobby and joins the world matchmaking picks, wherever it was served from', async () => {
    const first = await openPage(hosts.bravo.url);
    await expectConn(first, 'online');
    await expectText(first, '#lobby-world', 'You play in world alpha.');
    await expectText(first, '#st-cell', '20, 20');
    await first.locator('#worlds tr[data-world="bravo"]').waitFor({ timeout: WAIT_MS });
    await expectText(first, '#worlds tr[data-world="alpha"] td:nth-child(2)', '1/1');

    const second = await openPage(hosts.alpha.url);
    await expectConn(second, 'online');
    await expectText(second, '#lobby-world', 'You play in world bravo.');
    await second.screenshot({ path: path.join(SHOTS, 'fleet-lobby.png') });

    // Its world goes away: the reconnection matchmakes again, into the new one.
    await hosts.bravo.stop();
    delete hosts.bravo;
    hosts.charlie = await world('charlie', redis);
    await expectText(second, '#lobby-world', 'You play in world charlie.');
    await expectConn(second, 'online');
  });
});
