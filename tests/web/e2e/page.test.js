// The page in a real browser against a real corvane-host: the first login,
// moves, attacks, reconnection, tokens and the fleet's lobby.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
  WAIT_MS, clickCell, expectConn, expectEvent, expectText, launchPerFile, shot, startHost, startRedis, text,
} from './harness.js';

const session = launchPerFile();
const openPage = (url) => session.open(url, { viewport: { width: 1280, height: 860 } });

describe('playing on an open server', () => {
  let host;
  let first;
  let second;
  let firstId;
  let secondId;

  before(async () => { host = await startHost(); });
  after(async () => {
    await session.closePages();
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
    await shot(first, 'two-players.png');
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
    await shot(second, 'after-attacks.png');
  });

  test('a dropped connection is shown and comes back when the server does', async () => {
    const port = host.port;
    session.outage = true;
    await host.kill();
    await expectConn(first, 'waiting');
    // The page holds a resume token, so it tries to resume first; the new
    // host never issued it, so the page logs in afresh.
    await expectText(first, '#overlay', /Reconnecting…/);
    host = await startHost({ port });
    await expectConn(first, 'online');
    await expectConn(second, 'online');
    session.outage = false;
    await expectText(first, '#st-cell', '20, 20');
    await expectEvent(first, /The server no longer held your game: logging in afresh/);
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
  after(async () => {
    await session.closePages();
    await host?.stop();
  });

  test('asks for a token, shows a refusal plainly and logs in with the right one', async () => {
    const page = await openPage(host.url);
    await expectConn(page, 'refused');
    await expectText(page, '#token-msg', 'This server asks for a token.');
    await page.fill('#token', 'wrong');
    await page.press('#token', 'Enter');
    await expectText(page, '#token-msg', 'Login refused: the token was not accepted.');
    await shot(page, 'token-refused.png');
    await page.fill('#token', 's3cret');
    await page.click('#token-form button');
    await expectConn(page, 'online');
    await expectText(page, '#st-cell', '20, 20');
    assert.equal(await page.locator('#token-form').isHidden(), true);
  });
});

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
    await session.closePages();
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
    await shot(second, 'fleet-lobby.png');

    // Its world dies: the reconnection matchmakes again, into the new one.
    session.outage = true;
    await hosts.bravo.kill();
    delete hosts.bravo;
    hosts.charlie = await world('charlie', redis);
    await expectText(second, '#lobby-world', 'You play in world charlie.');
    await expectConn(second, 'online');
    await expectEvent(second, /Moved to world charlie: world bravo could not be reached/);
    session.outage = false;
  });
});
