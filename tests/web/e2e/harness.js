// What the browser tests share: real corvane-host and redis-server processes
// on free loopback ports, one headless Chromium, and helpers that wait for
// what the page shows.
//
// CORVANE_HOST_BIN: the host to run (default build/default/bin/corvane-host);
// CORVANE_HOST_URL: a host already running (http://HOST:PORT), which
// startHost hands out instead of starting one, to the tests that take any
// host (scripts/test.d/42-win32.sh points them at the Windows host under wine);
// CORVANE_BOT_BIN: the load bot (default: beside the host);
// CORVANE_CHROMIUM: the browser (default /usr/bin/chromium);
// CORVANE_SCREENSHOT_DIR: where the screenshots go (default build/web-e2e).
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before } from 'node:test';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const ROOT = fileURLToPath(new URL('../../../', import.meta.url));
export const HOST_BIN = path.resolve(ROOT, process.env.CORVANE_HOST_BIN ?? 'build/default/bin/corvane-host');
export const BOT_BIN = path.resolve(ROOT, process.env.CORVANE_BOT_BIN ?? path.join(path.dirname(HOST_BIN), 'corvane-bot'));
const CHROMIUM = process.env.CORVANE_CHROMIUM ?? '/usr/bin/chromium';
export const SHOTS = path.resolve(ROOT, process.env.CORVANE_SCREENSHOT_DIR ?? 'build/web-e2e');
const WEB_ROOT = path.join(ROOT, 'web');
export const WAIT_MS = 10000;

export const DESKTOP = { viewport: { width: 1280, height: 800 } };
export const PHONE = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

export function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export const RUNNING_HOST_URL = process.env.CORVANE_HOST_URL;

// The host of CORVANE_HOST_URL, once it answers /healthz; stop() leaves it
// running.
async function runningHost() {
  const url = RUNNING_HOST_URL.replace(/\/+$/, '');
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    try {
      const res = await fetch(`${url}/healthz`);
      if (res.ok) break;
    } catch { /* not listening yet */ }
    if (Date.now() > deadline) throw new Error(`${url} did not answer /healthz within ${WAIT_MS} ms`);
    await sleep(100);
  }
  return { url, port: Number(new URL(url).port), pid: null, output: () => '', stop: async () => null };
}

// Runs corvane-host on a port of its own and waits until it answers /healthz.
// With `anyHost`, the host of CORVANE_HOST_URL when that is set.
export async function startHost({ port, args = [], anyHost = false } = {}) {
  if (anyHost && RUNNING_HOST_URL) return runningHost();
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
    pid: proc.pid,
    output: () => output,
    // SIGTERM: a host with players on drains first (--drain-timeout).
    async stop() {
      if (gone) return gone;
      proc.kill('SIGTERM');
      const timer = setTimeout(() => proc.kill('SIGKILL'), 5000);
      const result = await exited;
      clearTimeout(timer);
      return result;
    },
    // The way a crash ends it: no drain, no goodbye.
    async kill() {
      if (gone) return gone;
      proc.kill('SIGKILL');
      return exited;
    },
  };
}

// Debian's redis-server on a port of its own, without persistence.
export async function startRedis() {
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

// The browser's own line for a server that refuses connections. While a
// test keeps a host stopped on purpose (`session.outage`), the page's probes
// and reconnection attempts make these; no page can keep the browser from
// logging them. At any other time they count as problems like the rest.
const REFUSED = /net::ERR_CONNECTION_REFUSED$/;

// One browser for a test file, once started; every page it opens reports
// uncaught errors and console errors into `problems`, which must stay empty.
function newSession() {
  const problems = [];
  const session = {
    browser: null,
    problems,
    outage: false,
    refusedDuringOutage: 0,
    async start() {
      mkdirSync(SHOTS, { recursive: true });
      session.browser = await chromium.launch({
        executablePath: CHROMIUM,
        args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
          '--no-first-run'],
      });
    },
    async open(url, options = DESKTOP) {
      const context = await session.browser.newContext(options);
      const page = await context.newPage();
      page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
      page.on('console', (m) => {
        if (m.type() !== 'error') return;
        if (session.outage && REFUSED.test(m.text())) session.refusedDuringOutage++;
        else problems.push(`console: ${m.text()}`);
      });
      await page.goto(url);
      return page;
    },
    // Before a test stops its hosts: pages left open would try to reconnect.
    async closePages() {
      for (const context of session.browser?.contexts() ?? []) await context.close();
    },
    close: async () => session.browser?.close(),
  };
  return session;
}

// A started browser session, for a file that starts more beside it.
export async function launch() {
  const session = newSession();
  await session.start();
  return session;
}

// The browser session of a test file that needs nothing else at its top:
// started before its tests, closed after them, and then no page may have
// logged an error. Call it at the file's top level.
export function launchPerFile() {
  const session = newSession();
  before(() => session.start());
  after(async () => {
    await session.close();
    assert.deepEqual(session.problems, [], 'no errors in the page or its console');
  });
  return session;
}

// Some event in the page's log matches.
export const expectEvent = (page, pattern, timeout = WAIT_MS) => page.waitForFunction(
  (re) => [...document.querySelectorAll('#events li')].some((li) => re.test(li.textContent)),
  pattern, { timeout },
);

export const text = (page, sel) => page.locator(sel).textContent();

export const expectText = (page, sel, expected, timeout = WAIT_MS) => page.waitForFunction(
  ([s, want]) => {
    const got = document.querySelector(s)?.textContent ?? '';
    return want instanceof RegExp ? want.test(got) : got === want;
  },
  [sel, expected], { timeout },
);

export const expectConn = (page, state, timeout = WAIT_MS) => page.waitForFunction(
  (want) => document.body.dataset.conn === want, state, { timeout },
);

// The centre of a board cell, in page coordinates.
export const cellPoint = (page, x, y) => page.evaluate(([cx, cy]) => window.corvane.view.cellToClient(cx, cy), [x, y]);

// A real mouse click on the middle of a board cell.
export async function clickCell(page, x, y) {
  const at = await cellPoint(page, x, y);
  await page.mouse.click(at.x, at.y);
}

export const shot = (page, name) => page.screenshot({ path: path.join(SHOTS, name) });

// A fresh player: online, in the scene, hit points known.
export async function player(session, url, options) {
  const page = await session.open(url, options);
  await expectConn(page, 'online');
  await expectText(page, '#st-cell', /^\d+, \d+$/);
  await expectText(page, '#st-hp', /^\d+$/);
  return page;
}
