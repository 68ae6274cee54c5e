// A world drains under the page (its host got SIGTERM): the page finds
// another world of the fleet and plays on there, and never shows an error.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { expectConn, expectEvent, expectText, launchPerFile, shot, startHost, startRedis } from './harness.js';

const session = launchPerFile();

describe('a rolling restart of a fleet', () => {
  let redis;
  const hosts = {};
  const world = (name, extra = []) => startHost({
    args: ['--redis', redis.url, '--world', name, '--max-users', '5', ...extra],
  });

  before(async () => {
    redis = await startRedis();
    hosts.alpha = await world('alpha', ['--drain-timeout', '2']);
    hosts.bravo = await world('bravo');
  });
  after(async () => {
    await session.closePages();
    for (const h of Object.values(hosts)) await h.stop();
    redis?.stop();
  });

  test('the page moves to another world when its own drains, with no error shown', async () => {
    // Served by bravo, seated in alpha (matchmaking breaks the tie by name).
    const page = await session.open(hosts.bravo.url);
    await expectConn(page, 'online');
    await expectText(page, '#lobby-world', 'You play in world alpha.');
    await expectText(page, '#st-cell', '20, 20');
    await page.evaluate(() => {
      window.seenStates = [];
      new MutationObserver(() => window.seenStates.push(document.body.dataset.conn))
        .observe(document.body, { attributes: true, attributeFilter: ['data-conn'] });
    });

    const drained = await hosts.alpha.stop();
    assert.equal(drained.code, 0, `alpha's exit after its drain:\n${hosts.alpha.output()}`);
    delete hosts.alpha;
    await expectText(page, '#lobby-world', 'You play in world bravo.');
    await expectConn(page, 'online');
    await expectText(page, '#st-cell', '20, 20');
    await expectEvent(page, /Moved to world bravo: world alpha is shutting down/);
    await shot(page, 'fleet-drained.png');

    const states = await page.evaluate(() => window.seenStates);
    assert.ok(states.includes('matchmaking'), `states seen: ${states}`);
    for (const bad of ['waiting', 'refused', 'stopped']) {
      assert.ok(!states.includes(bad), `never ${bad}; states seen: ${states}`);
    }
    assert.equal(await page.locator('#events li.warn, #events li.bad').count(), 0, 'no warning in the log');
    assert.equal(await page.locator('#overlay').isHidden(), true);
  });
});
