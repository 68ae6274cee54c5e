// A minute of play beside 60 players of the load bot: the page keeps up,
// stays clean, and does not grow its document.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import {
  BOT_BIN, expectText, launch, player, shot, sleep, startHost,
} from './harness.js';

const PLAYERS = 60;
const PLAY_MS = 60000;

let session;
let host;
let bot;

before(async () => {
  if (!existsSync(BOT_BIN)) throw new Error(`corvane-bot not found at ${BOT_BIN}; build it or set CORVANE_BOT_BIN`);
  session = await launch();
  host = await startHost();
});

after(async () => {
  bot?.kill('SIGKILL');
  await session?.close();
  await host?.stop();
  assert.deepEqual(session?.problems, [], 'no errors in the page or its console');
});

test(`a minute beside ${PLAYERS} players: the page plays on and its node count stays flat`, async (t) => {
  bot = spawn(BOT_BIN, ['--url', `ws://127.0.0.1:${host.port}/ws`, '--users', String(PLAYERS), '--rate', '2',
    '--ramp', '2', '--duration', String(PLAY_MS / 1000 + 15), '--quiet'], { stdio: 'ignore' });
  const page = await player(session, host.url);
  await expectText(page, '#st-players', String(PLAYERS + 1), 20000);

  const nodes = () => page.evaluate(() => document.getElementsByTagName('*').length);
  const counts = [];
  const keys = ['ArrowRight', 'ArrowDown', 'ArrowLeft', 'ArrowUp', 'n', 'a', 's'];
  const end = Date.now() + PLAY_MS;
  for (let i = 0; Date.now() < end; i++) {
    if (await page.locator('#down').isVisible()) await page.keyboard.press('g');
    await page.keyboard.press(keys[i % keys.length]);
    if (i % 20 === 0) counts.push(await nodes());
    await sleep(250);
  }
  counts.push(await nodes());
  await shot(page, 'crowd.png');
  assert.equal(await page.evaluate(() => document.body.dataset.conn), 'online');
  assert.equal(await page.evaluate(() => window.corvane.world.count(0)), PLAYERS + 1);
  // The first sample may precede a full event log; from then on it is flat.
  t.diagnostic(`elements: ${counts.join(' ')}`);
  const own = await page.evaluate(() => window.corvane.world.mine.filter((e) => /^You hit|^You: area/.test(e.text)).length);
  assert.ok(own >= 10, `the page's own attacks were answered (${own} in its log)`);
  const settled = counts.slice(1);
  const spread = Math.max(...settled) - Math.min(...settled);
  assert.ok(spread <= 4, `element counts over the minute: ${counts.join(' ')}`);
});
