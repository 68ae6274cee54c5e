// The side-by-side peer must put the same bytes on the wire as corvane-host
// for the messages corvane-bot reads.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import * as P from '../../bench/peer/protocol.js';

const { vectors } = JSON.parse(readFileSync(new URL('../vectors/messages.json', import.meta.url)));
const byName = Object.fromEntries(vectors.map((v) => [v.name, v]));
const hex = (name) => byName[name].hex;

test('peer messages match the shared vectors', () => {
  assert.equal(P.loginAck(0, 1).toString('hex'), hex('LoginAck.ok_user1'));
  assert.equal(P.loginAck(1, 0).toString('hex'), hex('LoginAck.unauthorized'));
  assert.equal(P.pong(Buffer.from('01000000', 'hex')).toString('hex'), hex('Pong.seq1'));
  assert.equal(P.enterSceneAck(0, 20, 20).toString('hex'), hex('EnterSceneAck.at_20_20'));
  assert.equal(P.poseList([]).toString('hex'), hex('PoseList.empty'));
  assert.equal(
    P.poseList([{ id: 1, kind: 1, x: 1, y: 0 }, { id: 2, kind: 0, x: 20, y: 20 }]).toString('hex'),
    hex('PoseList.user_and_object'));
  assert.equal(P.attackNotify(1, 0, [{ id: 2, kind: 0, hp: 90 }]).toString('hex'), hex('AttackNotify.single'));
  assert.equal(
    P.attackNotify(3, 1, [{ id: 3, kind: 0, hp: 90 }, { id: 7, kind: 1, hp: 0 }]).toString('hex'),
    hex('AttackNotify.area_two_hits'));
  assert.equal(P.attackNotify(2, 1, []).toString('hex'), hex('AttackNotify.area_no_hits'));
  const info = byName['ObjInfoList.user_and_object'];
  assert.equal(P.objInfoList(info.fields.infos).toString('hex'), info.hex);
});
