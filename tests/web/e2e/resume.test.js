// The page's connection cut under it: the page talks to corvane-host
// through a TCP relay of the test's own, which resets both sides of every
// connection at once (no close frame reaches the host) and then refuses
// connections for a while. The page must come back as the same user, where
// it was, with what happened meanwhile, and the module must not have seen
// the user leave.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import {
  WAIT_MS, clickCell, expectConn, expectText, freePort, launchPerFile, player, shot, sleep, startHost, startRedis, text,
} from './harness.js';

const session = launchPerFile();

// Relays a port to the host's. pull() resets every relayed connection and
// stops listening (connections are refused) until up().
async function startRelay(target, port) {
  const pairs = new Set();
  let server = null;
  const listen = () => new Promise((resolve, reject) => {
    server = net.createServer((client) => {
      const upstream = net.connect(target, '127.0.0.1');
      const pair = [client, upstream];
      pairs.add(pair);
      const end = () => {
        pairs.delete(pair);
        client.destroy();
        upstream.destroy();
      };
      client.on('error', end).on('close', end);
      upstream.on('error', end).on('close', end);
      client.pipe(upstream);
      upstream.pipe(client);
    });
    server.on('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  await listen();
  return {
    url: `http://127.0.0.1:${port}`,
    wsUrl: `ws://127.0.0.1:${port}/ws`,
    get connections() { return pairs.size; },
    pull() {
      const closed = new Promise((resolve) => server.close(() => resolve()));
      for (const [client, upstream] of pairs) {
        client.resetAndDestroy();
        upstream.resetAndDestroy();
      }
      pairs.clear();
      return closed;
    },
    up: listen,
    close() { return this.pull(); },
  };
}

// Cuts the page's connection at the relay and keeps it cut for 1.5 s
// after the page shows it reconnecting, doing `meanwhile` first; returns
// once the page is online again.
async function cutAndResume(page, relay, meanwhile = async () => {}) {
  session.outage = true;
  await relay.pull();
  await expectText(page, '#conn-badge', 'reconnecting…');
  await meanwhile();
  await sleep(1500);
  await relay.up();
  await expectConn(page, 'online');
  session.outage = false;
}

const count = (output, line) => output.split('\n').filter((l) => l === line).length;
const logins = (host) => count(host.output(), 'CSvrUserNotifyHandler::OnUserLogin');
const logouts = (host) => count(host.output(), 'CSvrUserNotifyHandler::OnUserLogout');

describe('a connection cut under the page', () => {
  let host;
  let relay;

  before(async () => {
    host = await startHost();
    relay = await startRelay(host.port, await freePort());
  });
  after(async () => {
    await session.closePages();
    await relay?.close();
    await host?.stop();
  });

  test('the page resumes as the same user, where it was, with what it missed, and the module sees no logout', async () => {
    const page = await player(session, relay.url);
    const userId = await text(page, '#st-user');
    await clickCell(page, 31, 26);
    await expectText(page, '#st-cell', '31, 26');
    await page.keyboard.press('s');
    await expectText(page, '#st-hp', '90');
    // Another player, not behind the relay, who acts while the page is away.
    const other = await player(session, host.url);
    const otherId = await text(other, '#st-user');
    await page.locator(`#players li[data-user-id="${otherId}"]`).waitFor({ timeout: WAIT_MS });
    assert.equal(logins(host), 2);

    await cutAndResume(page, relay, async () => {
      await clickCell(other, 44, 12);
      await expectText(other, '#st-cell', '44, 12');
      await shot(page, 'reconnecting.png');
    });
    assert.equal(await text(page, '#st-user'), userId);
    assert.equal(await text(page, '#st-cell'), '31, 26');
    assert.equal(await text(page, '#st-hp'), '90');
    // The other player's move while the page was away, from what the host kept.
    await expectText(page, `#players li[data-user-id="${otherId}"] span:last-child`, /^\(44, 12\)/);
    const loginsLogged = await page.locator('#events li', { hasText: /Logged in as user/ }).count();
    assert.equal(loginsLogged, 1, 'no second login in the page');
    // And the world goes on: the page still plays.
    await clickCell(page, 32, 26);
    await expectText(page, '#st-cell', '32, 26');
    await expectText(other, `#players li[data-user-id="${userId}"] span:last-child`, /^\(32, 26\)/);
    assert.equal(logins(host), 2, `no new login:\n${host.output()}`);
    assert.equal(logouts(host), 0, `no logout:\n${host.output()}`);
    await shot(page, 'resumed.png');
  });
});

describe('a connection cut under the page in a fleet', () => {
  let redis;
  let alpha;
  let relay;

  // The world announces the relay as its address, so that the page's game
  // connection goes through it while the page itself comes from the host.
  before(async () => {
    redis = await startRedis();
    const relayPort = await freePort();
    alpha = await startHost({
      args: ['--redis', redis.url, '--world', 'alpha', '--public-url', `ws://127.0.0.1:${relayPort}/ws`],
    });
    relay = await startRelay(alpha.port, relayPort);
  });
  after(async () => {
    await session.closePages();
    await relay?.close();
    await alpha?.stop();
    redis?.stop();
  });

  const seatsIssued = async () => {
    const metrics = await (await fetch(`${alpha.url}/metrics`)).text();
    return Number(/^corvane_fleet_seats_issued_total (\d+)/m.exec(metrics)?.[1]);
  };

  test('the page resumes in the same world without matchmaking again', async () => {
    const page = await player(session, alpha.url);
    await expectText(page, '#lobby-world', 'You play in world alpha.');
    const userId = await text(page, '#st-user');
    await clickCell(page, 12, 34);
    await expectText(page, '#st-cell', '12, 34');
    assert.equal(await seatsIssued(), 1);

    await cutAndResume(page, relay);
    assert.equal(await text(page, '#st-user'), userId);
    assert.equal(await text(page, '#st-cell'), '12, 34');
    await expectText(page, '#lobby-world', 'You play in world alpha.');
    assert.equal(await seatsIssued(), 1, 'no second seat');
    assert.equal(await page.locator('#events li', { hasText: /Moved to world|Logged in as user/ }).count(), 1);
    await clickCell(page, 13, 34);
    await expectText(page, '#st-cell', '13, 34');
    assert.equal(logins(alpha), 1);
    assert.equal(logouts(alpha), 0);
  });
});
