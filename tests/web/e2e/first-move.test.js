// A player's first minute on any host: the page from the host, the login,
// entering the scene and a move by a click on the board. Run as part of the
// suite it starts a host of its own; with CORVANE_HOST_URL it plays on that
// host instead (the 32-bit Windows host under wine, in the win32 stage).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { clickCell, expectConn, expectText, launch, shot, startHost, text } from './harness.js';

let session;
let host;

before(async () => {
  session = await launch();
  host = await startHost({ anyHost: true });
});

after(async () => {
  await session?.closePages();
  await host?.stop();
  await session?.close();
  assert.deepEqual(session?.problems, [], 'no errors in the page or its console');
});

test('the page logs in, enters the scene and moves where the player clicks', async () => {
  const page = await session.open(host.url, { viewport: { width: 1280, height: 860 } });
  await expectConn(page, 'online');
  await expectText(page, '#st-user', /^\d+$/);
  await expectText(page, '#st-cell', /^\d+, \d+$/);
  await expectText(page, '#st-hp', /^\d+$/);
  // A cell away from where the player stands, which the board shows.
  const [x, y] = (await text(page, '#st-cell')).split(', ').map(Number);
  const target = [x === 30 ? 31 : 30, y === 24 ? 25 : 24];
  await clickCell(page, ...target);
  await expectText(page, '#st-cell', target.join(', '));
  await shot(page, 'first-move.png');
});
