import { test, describe } from 'node:test';
import assert from 'node:assert/strict';

import { allFull, fetchWorlds, freeSeats, makeMatchmaker, worldGone } from '../../../web/js/lobby.js';
import { MatchmakingRefused, WorldsFull } from '../../../web/js/net.js';

// A fetch that answers from a table and records what was asked.
function fakeFetch(answers) {
  const asked = [];
  const impl = async (url, init = {}) => {
    asked.push({ url, init });
    const a = answers[url];
    if (!a) throw new TypeError('network error');
    return new Response(a.body, { status: a.status, headers: { 'content-type': a.type ?? 'application/json' } });
  };
  return { impl, asked };
}

describe('fetchWorlds', () => {
  test('a fleet lists its worlds; a lone server or no server is no fleet', async () => {
    const worlds = [{ name: 'a', url: 'ws://x/ws', users: 1, maxUsers: 2, reserved: 0 }];
    assert.deepEqual(await fetchWorlds(fakeFetch({ '/worlds': { status: 200, body: JSON.stringify(worlds) } }).impl),
      { fleet: true, worlds });
    assert.deepEqual(
      await fetchWorlds(fakeFetch({ '/worlds': { status: 404, body: 'not found\n', type: 'text/plain' } }).impl),
      { fleet: false, worlds: [] });
    assert.deepEqual(await fetchWorlds(fakeFetch({}).impl), { fleet: false, worlds: [] });
    assert.deepEqual(await fetchWorlds(fakeFetch({ '/worlds': { status: 204, body: null, type: 'text/plain' } }).impl),
      { fleet: false, worlds: [] });
    // Registry down: still a fleet, so the page does not log in without a seat.
    assert.deepEqual(await fetchWorlds(fakeFetch({ '/worlds': { status: 503, body: '{"error":"down"}' } }).impl),
      { fleet: true, worlds: [] });
  });

  test('free seats count players and reserved seats', () => {
    assert.equal(freeSeats({ maxUsers: 5, users: 2, reserved: 1 }), 2);
    assert.equal(freeSeats({ maxUsers: 2, users: 2, reserved: 1 }), 0);
    assert.equal(allFull([{ maxUsers: 2, users: 2 }, { maxUsers: 1, users: 0, reserved: 1 }]), true);
    assert.equal(allFull([{ maxUsers: 2, users: 2 }, { maxUsers: 2, users: 1 }]), false);
    assert.equal(allFull([]), false);
  });
});

describe('makeMatchmaker', () => {
  test('posts with the token as bearer and returns the seat', async () => {
    const { impl, asked } = fakeFetch({
      '/matchmake': { status: 200, body: '{"world":"w","url":"ws://127.0.0.1:1/ws","seat":"s"}' },
    });
    assert.deepEqual(await makeMatchmaker(impl)('tok'), { world: 'w', url: 'ws://127.0.0.1:1/ws', seat: 's' });
    assert.equal(asked[0].init.method, 'POST');
    assert.deepEqual(asked[0].init.headers, { Authorization: 'Bearer tok' });
    await makeMatchmaker(impl)('');
    assert.deepEqual(asked[1].init.headers, {});
  });

  test('401 refuses for good; 503 and network errors are worth another try', async () => {
    const refused = fakeFetch({ '/matchmake': { status: 401, body: '{"error":"no"}' } }).impl;
    await assert.rejects(makeMatchmaker(refused)(''), (e) => e instanceof MatchmakingRefused
      && e.message === 'This server asks for a token.');
    const full = fakeFetch({ '/matchmake': { status: 503, body: '{"error":"every world is full"}' } }).impl;
    await assert.rejects(makeMatchmaker(full)(''),
      (e) => e instanceof WorldsFull && e.message === 'every world is full');
    const down = fakeFetch({ '/matchmake': { status: 503, body: '{"error":"the registry is unreachable"}' } }).impl;
    await assert.rejects(makeMatchmaker(down)(''), (e) => !(e instanceof WorldsFull) && /unreachable/.test(e.message));
    await assert.rejects(makeMatchmaker(fakeFetch({}).impl)(''), /cannot be reached/);
  });
});

describe('worldGone', () => {
  test('only a reachable fleet that lists worlds, but not this one, says it is gone', async () => {
    const listing = (names) => fakeFetch({
      '/worlds': { status: 200, body: JSON.stringify(names.map((name) => ({ name, users: 0, maxUsers: 1 }))) },
    }).impl;
    assert.equal(await worldGone('a', listing(['a', 'b'])), false);
    assert.equal(await worldGone('a', listing(['b'])), true);
    // Nothing listed (the registry out of reach), no answer, or no fleet: not known to be gone.
    assert.equal(await worldGone('a', listing([])), false);
    assert.equal(await worldGone('a', fakeFetch({}).impl), false);
    assert.equal(await worldGone('a', fakeFetch({ '/worlds': { status: 204, body: null, type: 'text/plain' } }).impl), false);
  });
});
