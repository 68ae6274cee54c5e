import { test, describe } from 'node:test';
import assert from 'node:assert/strict';

import { DEFAULT_RANGE, EFFECT_MS, World, areaSquare, keyOf } from '../../../web/js/world.js';

const pose = (id, kind, x, y) => ({ id, kind, x, y });
const info = (id, kind, hp, range = 8) => ({ id, kind, attr1: 5, hp, attr2: 10, attr3: 10, range });

function scene() {
  const w = new World();
  w.reset(1);
  w.apply({ type: 'EnterSceneAck', code: 0, pos: { x: 20, y: 20 } }, 0);
  w.apply({ type: 'PoseList', poses: [pose(7, 1, 21, 20), pose(1, 0, 20, 20), pose(2, 0, 30, 30)] }, 10);
  return w;
}

describe('areaSquare', () => {
  test('covers x - r up to x + r - 1, cut to the grid', () => {
    assert.deepEqual(areaSquare(10, 10, 8), { x0: 2, y0: 2, x1: 18, y1: 18 });
    assert.deepEqual(areaSquare(0, 0, 8), { x0: 0, y0: 0, x1: 8, y1: 8 });
    assert.deepEqual(areaSquare(95, 95, 8), { x0: 87, y0: 87, x1: 100, y1: 100 });
  });

  test('radius 0 is the whole grid', () => {
    assert.deepEqual(areaSquare(40, 40, 0), { x0: 0, y0: 0, x1: 100, y1: 100 });
  });
});

describe('World', () => {
  test('entering the scene places this page\'s user', () => {
    const w = new World();
    w.reset(4);
    w.apply({ type: 'EnterSceneAck', code: 0, pos: { x: 20, y: 20 } }, 0);
    assert.deepEqual(w.selfPos, { x: 20, y: 20 });
    assert.equal(w.self.key, keyOf(4, 0));
  });

  test('a PoseList replaces the scene: moves, arrivals and departures', () => {
    const w = scene();
    assert.equal(w.count(0), 2);
    assert.equal(w.count(1), 1);
    w.selected = keyOf(2, 0);
    w.apply({ type: 'PoseList', poses: [pose(1, 0, 25, 26), pose(3, 0, 20, 20), pose(7, 1, 21, 21)] }, 20);
    assert.deepEqual(w.selfPos, { x: 25, y: 26 });
    const me = w.self;
    assert.deepEqual([me.fromX, me.fromY, me.movedAt], [20, 20, 20]);
    assert.equal(w.objects.has(keyOf(2, 0)), false);
    assert.equal(w.selected, null, 'a departed object is no longer selected');
    const texts = w.events.map((e) => e.text);
    assert.ok(texts.includes('Player #3 joined'));
    assert.ok(texts.includes('Player #2 left'));
  });

  test('a user and an object with the same id are two objects', () => {
    const w = new World();
    w.reset(5);
    w.apply({ type: 'PoseList', poses: [pose(5, 0, 1, 1), pose(5, 1, 2, 2)] }, 0);
    assert.equal(w.objects.size, 2);
    assert.deepEqual(w.objectsAt(2, 2).map((o) => o.kind), [1]);
  });

  test('ObjInfoList sets hit points and counts the tick', () => {
    const w = scene();
    w.apply({ type: 'ObjInfoList', infos: [info(7, 1, 40), info(1, 0, 100), info(99, 1, 10)] }, 500);
    assert.equal(w.objects.get(keyOf(7, 1)).hp, 40);
    assert.equal(w.self.hp, 100);
    assert.equal(w.objects.has(keyOf(99, 1)), false, 'no position, not drawn');
    assert.equal(w.lastTickAt, 500);
    assert.equal(w.ticks, 1);
  });

  test('an area attack lowers hit points and marks the square around the attacker', () => {
    const w = scene();
    w.apply({
      type: 'AttackNotify', id: 1, kind: 0, attackType: 1,
      result: [{ id: 1, kind: 0, reserved: 0, hp: 90 }, { id: 7, kind: 1, reserved: 0, hp: 0 }],
    }, 100);
    assert.equal(w.self.hp, 90);
    assert.equal(w.objects.get(keyOf(7, 1)).hp, 0);
    const area = w.effects.find((e) => e.type === 'area');
    assert.deepEqual([area.x0, area.y0, area.x1, area.y1], [20 - DEFAULT_RANGE, 12, 28, 28]);
    assert.equal(w.effects.filter((e) => e.type === 'hit').length, 2);
    assert.equal(w.events[0].text, 'You: area attack, 2 hit, you too: hp 90');
    assert.equal(w.events[0].mine, true);
  });

  test('the area follows the attacker\'s reported range', () => {
    const w = scene();
    w.apply({ type: 'ObjInfoList', infos: [info(2, 0, 100, 3)] }, 50);
    w.apply({ type: 'AttackNotify', id: 2, kind: 0, attackType: 1, result: [] }, 100);
    const area = w.effects.find((e) => e.type === 'area');
    assert.deepEqual([area.x0, area.y0, area.x1, area.y1], [27, 27, 33, 33]);
    assert.equal(w.events[0].text, 'Player #2: area attack, 0 hit');
  });

  test('a single-target attack draws a beam and says who was hit', () => {
    const w = scene();
    w.apply({ type: 'AttackNotify', id: 2, kind: 0, attackType: 0, result: [{ id: 1, kind: 0, reserved: 0, hp: 90 }] }, 100);
    assert.ok(w.effects.some((e) => e.type === 'beam' && e.from === keyOf(2, 0) && e.to === keyOf(1, 0)));
    assert.equal(w.events[0].text, 'Player #2 hit you: hp 90');
    w.apply({ type: 'AttackNotify', id: 1, kind: 0, attackType: 2, result: [{ id: 7, kind: 1, reserved: 0, hp: 80 }] }, 110);
    assert.equal(w.events[0].text, 'You hit object 7: hp 80');
  });

  test('being brought to 0 says by whom, and entering again gets the user up', () => {
    const w = scene();
    w.self.hp = 10;
    w.apply({ type: 'AttackNotify', id: 1, kind: 0, attackType: 1, result: [{ id: 1, kind: 0, reserved: 0, hp: 0 }] }, 100);
    assert.equal(w.down, true);
    assert.equal(w.downCause, 'your own area attack');
    assert.equal(w.events[0].text, 'You are down: your own area attack took your last hit points');
    // Later hits and ticks at 0 keep the first cause and say it once.
    w.apply({ type: 'AttackNotify', id: 2, kind: 0, attackType: 0, result: [{ id: 1, kind: 0, reserved: 0, hp: 0 }] }, 150);
    w.apply({ type: 'ObjInfoList', infos: [info(1, 0, 0)] }, 200);
    assert.equal(w.events.filter((e) => e.text.startsWith('You are down')).length, 1);
    assert.equal(w.downCause, 'your own area attack');
    w.apply({ type: 'EnterSceneAck', code: 0, pos: { x: 20, y: 20 } }, 300);
    assert.equal(w.down, false);
    assert.equal(w.self.hp, 100);
    assert.equal(w.downCause, null);
    assert.equal(w.events[0].text, 'You got up at (20, 20): 100 hit points');
  });

  test('others\' attacks that reach this page\'s user are its own events; the rest are not', () => {
    const w = scene();
    w.apply({ type: 'AttackNotify', id: 2, kind: 0, attackType: 1, result: [{ id: 1, kind: 0, reserved: 0, hp: 0 }] }, 100);
    assert.equal(w.events[1].text, 'Player #2: area attack, 1 hit, you: hp 0');
    assert.equal(w.downCause, "player #2's area attack");
    w.apply({ type: 'AttackNotify', id: 2, kind: 0, attackType: 0, result: [{ id: 7, kind: 1, reserved: 0, hp: 90 }] }, 110);
    assert.equal(w.events[0].mine, false);
  });

  test('targets come nearest first, measured as the area attack reaches', () => {
    const w = scene();
    w.apply({ type: 'PoseList', poses: [pose(1, 0, 20, 20), pose(7, 1, 23, 20), pose(8, 1, 19, 22), pose(2, 0, 22, 22)] }, 20);
    assert.deepEqual(w.targetsByDistance().map((o) => o.key), ['0:2', '1:8', '1:7'], 'two cells away: the player before the object');
  });

  test('effects expire', () => {
    const w = scene();
    w.apply({ type: 'AttackNotify', id: 1, kind: 0, attackType: 1, result: [] }, 100);
    w.prune(100 + EFFECT_MS.area - 1);
    assert.equal(w.effects.length, 1);
    w.prune(100 + EFFECT_MS.area);
    assert.equal(w.effects.length, 0);
  });

  test('clicks pick other players first, then objects, this page\'s user last', () => {
    const w = new World();
    w.reset(1);
    w.apply({ type: 'PoseList', poses: [pose(1, 0, 5, 5), pose(9, 1, 5, 5), pose(2, 0, 5, 5)] }, 0);
    assert.deepEqual(w.objectsAt(5, 5).map((o) => o.key), ['0:2', '1:9', '0:1']);
  });

  test('a chat line is logged as text', () => {
    const w = new World();
    w.apply({ type: 'TalkNotify', id: 3, msg: new TextEncoder().encode('hi') }, 0);
    assert.equal(w.events[0].text, '#3: hi');
  });
});
