// The page as a player meets it: being down and getting up, what the panels
// promise, feedback where the player looks, the keyboard alone, a phone,
// quick presses, a dropped connection and a full fleet.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  PHONE, cellPoint, expectConn, expectText, launchPerFile, player, shot, startHost, startRedis, text,
} from './harness.js';

const session = launchPerFile();

const close = (page) => page.context().close();
const isHidden = (page, sel) => page.locator(sel).isHidden();

// The texts the board draws in one frame.
const drawnTexts = (page) => page.evaluate(() => new Promise((resolve) => {
  const proto = CanvasRenderingContext2D.prototype;
  const fillText = proto.fillText;
  const seen = [];
  proto.fillText = function spy(t, ...rest) {
    seen.push(String(t));
    return fillText.call(this, t, ...rest);
  };
  requestAnimationFrame(() => requestAnimationFrame(() => {
    proto.fillText = fillText;
    resolve(seen);
  }));
}));

describe('one world, on a desktop', () => {
  let host;

  before(async () => { host = await startHost(); });
  after(async () => {
    await session.closePages();
    await host?.stop();
  });

  test('area attacks say when they hurt the attacker; at 0 the player is down until Get up', async () => {
    const page = await player(session, host.url);
    await page.keyboard.press('s');
    await expectText(page, '#st-hp', '90');
    // Getting up is no heal for a player still standing.
    await page.keyboard.press('g');
    await expectText(page, '#feedback', 'You are not down');
    for (let i = 0; i < 8; i++) await page.keyboard.press('s');
    await expectText(page, '#st-hp', '10');
    await expectText(page, '#feedback', /^You: area attack, \d+ hit, you too: hp 10$/);
    assert.equal(await isHidden(page, '#down'), true);
    await page.keyboard.press('s');
    await expectText(page, '#st-hp', '0');
    await page.locator('#down').waitFor({ state: 'visible' });
    assert.equal(await text(page, '#down-why'), 'You are down: your own area attack took your last hit points.');
    assert.equal(await page.locator('#btn-area').isDisabled(), true);
    await page.keyboard.press('ArrowRight');
    await expectText(page, '#feedback', 'You are down: get up first (G), then step');
    assert.equal(await text(page, '#st-cell'), '20, 20');
    await shot(page, 'down.png');

    await page.click('#btn-getup');
    await expectText(page, '#st-hp', '100');
    await page.locator('#down').waitFor({ state: 'hidden' });
    await expectText(page, '#feedback', 'You got up at (20, 20): 100 hit points');
    await page.keyboard.press('ArrowRight');
    await expectText(page, '#st-cell', '21, 20');
    await close(page);
  });

  test('the Target panel shows only what attacks use; feedback is beside the board; the log filters to mine', async () => {
    const page = await player(session, host.url);
    const other = await player(session, host.url);
    assert.match(await text(page, '#area-note'), /within 8 cells of you, you included/);

    await page.keyboard.press('a');
    await expectText(page, '#feedback', 'Select an object to attack first');
    const box = await page.locator('#feedback').boundingBox();
    assert.ok(box.y + box.height <= 800, `the feedback is in view at 1280×800 (bottom at ${box.y + box.height})`);

    // The farthest object: a single attack reaches it all the same.
    await page.keyboard.press('Shift+N');
    await expectText(page, '#feedback', /^Selected object \d+ at \(\d+, \d+\), \d+ cells away, hp \d+$/);
    const away = Number((await text(page, '#feedback')).match(/(\d+) cells away/)[1]);
    assert.ok(away > 8, `the farthest object is ${away} cells away`);
    await expectText(page, '#target .muted', /^cell \d+, \d+ · hp \d+$/);
    await page.keyboard.press('a');
    await expectText(page, '#feedback', /^You hit object \d+: hp \d+$/);

    // Someone else's fight, far away, is not the player's own.
    await page.keyboard.press('ArrowUp');
    await expectText(page, '#st-cell', '20, 19');
    await other.keyboard.press('ArrowDown');
    await expectText(other, '#st-cell', '20, 21');
    for (let i = 0; i < 10; i++) await other.keyboard.press('ArrowDown');
    await expectText(other, '#st-cell', '20, 31');
    await other.keyboard.press('s');
    const otherId = await text(other, '#st-user');
    await expectText(page, '#events li', new RegExp(`^[0-9:]+Player #${otherId}: area attack`));
    await page.check('#log-mine');
    const mine = await page.locator('#events li').evaluateAll((lis) => lis.map((li) => [li.className, li.textContent]));
    assert.ok(mine.some(([, line]) => /You hit object \d+: hp \d+$/.test(line)), JSON.stringify(mine));
    for (const [cls, line] of mine) {
      assert.match(cls, /\bmine\b/, line);
      assert.doesNotMatch(line, new RegExp(`Player #${otherId}`));
    }
    await shot(page, 'feedback-mine.png');
    await page.uncheck('#log-mine');
    await expectText(page, '#events li', new RegExp(`Player #${otherId}: area attack`));
    await close(other);
    await close(page);
  });

  test('keyboard only: Tab reaches the board, N picks the nearest, Enter attacks, a live region speaks', async () => {
    const page = await player(session, host.url);
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'world');
    assert.equal(await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle), 'solid');
    await expectText(page, '#board-desc', /^You stand at 20, 20 with 100 hit points\. Nearest: /);
    assert.equal(await page.getAttribute('#world', 'aria-describedby'), 'board-desc board-keys');

    await page.keyboard.press('n');
    await expectText(page, '#live', /^Selected (object|player) #?\d+ .* cells? away, hp \d+$/);
    const nearest = await text(page, '#target strong');
    const first = await page.evaluate(() => window.corvane.world.targetsByDistance()[0]);
    assert.equal(nearest, first.kind === 0 ? `player #${first.id}` : `object ${first.id}`);
    await page.keyboard.press('Enter');
    await expectText(page, '#live', /^You hit (object|player) #?\d+: hp \d+$/);
    await page.keyboard.press('n');
    await page.waitForFunction((was) => document.querySelector('#target strong')?.textContent !== was, nearest);
    await expectText(page, '#board-desc', /Selected: /);
    await page.keyboard.press('s');
    await expectText(page, '#live', /^You: area attack, \d+ hit, you too: hp 90$/);
    await shot(page, 'keyboard.png');
    await close(page);
  });

  test('quick presses all count, and presses beyond the rate wait or are dropped visibly', async () => {
    const page = await player(session, host.url);
    for (let i = 0; i < 10; i++) await page.keyboard.press('ArrowRight');
    await expectText(page, '#st-cell', '30, 20');
    for (let i = 0; i < 30; i++) await page.keyboard.press('ArrowDown');
    await expectText(page, '#st-cell', '30, 50');

    // A held key at a rate no hand makes: some go at once, ten wait, the rest are dropped.
    await page.evaluate(() => {
      for (let i = 0; i < 60; i++) document.dispatchEvent(new KeyboardEvent('keydown', { key: 'ArrowUp' }));
    });
    await expectText(page, '#feedback', 'Too fast: step dropped');
    await page.waitForFunction(() => window.corvane.ui.steps.length === 0);
    const target = await page.evaluate(() => window.corvane.ui.moveTarget);
    await expectText(page, '#st-cell', `30, ${target.y}`);
    assert.ok(target.y <= 40 && target.y >= 0, `moved up ${50 - target.y} of 60`);
    assert.equal(await page.evaluate(() => document.body.dataset.conn), 'online', 'the host did not close the page');
    await close(page);
  });

  test('the tooltip says you; one label per crowded cell', async () => {
    const pages = [];
    for (let i = 0; i < 3; i++) pages.push(await player(session, host.url));
    const [page] = pages;
    const ids = [];
    for (const p of pages) ids.push(await text(p, '#st-user'));
    const [me] = ids;
    await page.waitForFunction((n) => window.corvane.world.objectsAt(20, 20).length === n, pages.length);
    const at = await cellPoint(page, 20, 20);
    await page.mouse.move(at.x, at.y);
    await expectText(page, '#hover-info', /^\(20, 20\) · (player #\d+, )*you$/);
    const labels = (await drawnTexts(page)).filter((t) => /^(you )?#\d+/.test(t));
    assert.ok(labels.includes(`you #${me} +2`), labels.join(' | '));
    for (const id of ids.slice(1)) assert.ok(!labels.some((l) => l.startsWith(`#${id}`)), labels.join(' | '));
    await shot(page, 'crowded-cell.png');
    for (const p of pages) await close(p);
  });

  test('disconnected: a grey board, commands counted as not sent, no jump; back soon after /healthz answers', async () => {
    const page = await player(session, host.url);
    const panelBefore = await page.locator('#target').boundingBox();
    const port = host.port;
    session.outage = true;
    await host.kill();
    await expectConn(page, 'waiting');
    assert.match(await page.evaluate(() => getComputedStyle(document.getElementById('world')).filter), /grayscale/);
    assert.equal(await page.getAttribute('#st-hp', 'class'), 'stale');
    await page.keyboard.press('ArrowRight');
    await expectText(page, '#feedback', 'Not connected: step not sent');
    await expectText(page, '#overlay', /1 command was not sent; nothing is queued while disconnected\./);
    assert.deepEqual(await page.locator('#target').boundingBox(), panelBefore, 'the panels did not move');
    const oneLine = await page.evaluate(() => {
      const p = document.querySelector('#overlay .wait');
      return p.getBoundingClientRect().height <= parseFloat(getComputedStyle(p).lineHeight) * 1.2;
    });
    assert.equal(oneLine, true, 'the retry line does not wrap');
    await shot(page, 'disconnected.png');

    // Wait until the next try is far off, then bring the host back.
    await page.waitForFunction(() => {
      const { retryAt } = window.corvane.conn.snapshot();
      return retryAt !== null && retryAt - performance.now() > 6000;
    }, null, { timeout: 20000 });
    host = await startHost({ port });
    const back = Date.now();
    await expectConn(page, 'online');
    const took = Date.now() - back;
    session.outage = false;
    assert.ok(took < 3500, `online ${took} ms after the host answered`);
    assert.equal(await page.getAttribute('#st-hp', 'class'), '');
    await close(page);
  });
});

describe('a phone', () => {
  let host;

  before(async () => { host = await startHost(); });
  after(async () => {
    await session.closePages();
    await host?.stop();
  });

  test('the board takes the width, steps have buttons, a tap selects without leaving a tooltip', async () => {
    const desk = await player(session, host.url);
    const deskId = await text(desk, '#st-user');
    const page = await player(session, host.url, PHONE);
    const board = await page.locator('#world').boundingBox();
    assert.ok(board.width >= 380, `the board is ${board.width} px wide of 390`);
    assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 390, 'nothing sticks out sideways');

    await page.locator('#pad').waitFor({ state: 'visible' });
    await page.tap('#pad [data-step="ArrowRight"]');
    await expectText(page, '#st-cell', '21, 20');
    await page.tap('#pad [data-step="ArrowDown"]');
    await expectText(page, '#st-cell', '21, 21');

    const at = await cellPoint(page, 20, 20);
    await page.touchscreen.tap(at.x, at.y);
    await expectText(page, '#target strong', `player #${deskId}`);
    await expectText(page, '#feedback', new RegExp(`^Selected player #${deskId} at \\(20, 20\\), 1 cell away`));
    assert.equal(await isHidden(page, '#hover-info'), true);
    await shot(page, 'phone.png');
    await page.tap('#btn-attack');
    await expectText(desk, '#st-hp', '90');
    await close(page);
    await close(desk);
  });
});

describe('a fleet with every world full', () => {
  let redis;
  const hosts = {};
  const world = (name) => startHost({ args: ['--redis', redis.url, '--world', name, '--max-users', '1'] });

  before(async () => {
    redis = await startRedis();
    hosts.alpha = await world('alpha');
    hosts.bravo = await world('bravo');
  });
  after(async () => {
    await session.closePages();
    for (const h of Object.values(hosts)) await h.stop();
    redis?.stop();
  });

  test('the list follows every matchmaking answer; a full fleet is waited out in view, then joined', async () => {
    const a = await player(session, hosts.alpha.url);
    // Refreshed after its own seat, not at the next half-minute poll.
    await expectText(a, '#worlds tr[data-world="alpha"] td:nth-child(3)', '0', 3000);
    const b = await player(session, hosts.alpha.url);
    await expectText(b, '#lobby-world', 'You play in world bravo.');
    await expectText(b, '#worlds tr[data-world="bravo"] td:nth-child(2)', '1/1');
    await expectText(b, '#worlds tr[data-world="alpha"] td:nth-child(2)', '1/1');

    const c = await session.open(hosts.alpha.url);
    await expectText(c, '#overlay', /^all worlds are full, retrying in \d+ s$/);
    await expectText(c, '#lobby-world', /^all worlds are full, retrying in \d+ s$/);
    await shot(c, 'worlds-full.png');
    await close(b);
    await expectConn(c, 'online', 20000);
    await expectText(c, '#lobby-world', 'You play in world bravo.');
    await close(c);
    await close(a);
  });
});
