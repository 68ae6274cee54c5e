import { test, describe } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

import {
  Reader, ResumeCode, Writer, decodeMessage, encodeAttack, encodeEnterScene, encodeLogin, encodeLogout, encodeMoveTo,
  encodePing, encodeResume, isModuleFrame, pingBody, pongSeq, readAttackResult, readObjInfo, readObjPos, readPos,
} from '../../../web/js/codec.js';

const { vectors } = JSON.parse(readFileSync(new URL('../../vectors/messages.json', import.meta.url)));

const fromHex = (hex) => Uint8Array.from(hex.match(/../g) ?? [], (b) => parseInt(b, 16));
const toHex = (bytes) => Buffer.from(bytes).toString('hex');

// Byte strings come out of the decoder as Uint8Array; the vectors give them as hex.
const plain = (v) => {
  if (v instanceof Uint8Array) return toHex(v);
  if (Array.isArray(v)) return v.map(plain);
  if (v && typeof v === 'object') return Object.fromEntries(Object.entries(v).map(([k, x]) => [k, plain(x)]));
  return v;
};

const fieldsOf = (msg) => {
  const { type, module, num, ...fields } = msg;
  return plain(fields);
};

const byName = Object.fromEntries(vectors.map((v) => [v.name, v]));

describe('shared vectors', () => {
  test('the file holds the examples both test suites rely on', () => {
    for (const name of ['EnterSceneAck.at_20_20', 'PoseList.one_object', 'AttackNotify.single', 'AttackResult.id2_hp90']) {
      assert.ok(byName[name], name);
    }
    assert.equal(byName['EnterSceneAck.at_20_20'].hex, '630001000000000014001400');
    assert.equal(new Set(vectors.map((v) => v.name)).size, vectors.length, 'names are unique');
  });

  const recordReaders = {
    Pos: readPos, ObjPos: readObjPos, ObjInfo: readObjInfo, AttackResult: readAttackResult,
    vecChar: (r) => ({ value: r.vecChar() }),
  };
  for (const v of vectors.filter((x) => x.dir === 'record')) {
    test(`record ${v.name}`, () => {
      const r = new Reader(fromHex(v.hex));
      assert.deepEqual(plain(recordReaders[v.type](r)), v.fields);
      assert.equal(r.remaining, 0);
    });
  }

  for (const v of vectors.filter((x) => x.dir === 'server' && !x.malformed)) {
    test(`decodes ${v.name}`, () => {
      const msg = decodeMessage(fromHex(v.hex));
      assert.equal(msg.type, v.type);
      assert.deepEqual(fieldsOf(msg), v.fields);
    });
  }

  const encoders = {
    Login: (f) => encodeLogin(fromHex(f.token)),
    Logout: () => encodeLogout(),
    Ping: (f) => encodePing(fromHex(f.body)),
    EnterScene: () => encodeEnterScene(),
    MoveTo: (f) => encodeMoveTo(f.pos),
    Attack: (f) => encodeAttack(f),
  };
  for (const v of vectors.filter((x) => x.dir === 'client')) {
    test(`encodes ${v.name}`, () => {
      assert.equal(toHex(encoders[v.type](v.fields)), v.hex);
    });
  }

  for (const v of vectors.filter((x) => x.malformed)) {
    test(`rejects ${v.name}`, () => {
      const msg = decodeMessage(fromHex(v.hex));
      assert.equal(msg.type, 'Malformed');
      assert.equal(typeof msg.error, 'string');
    });
  }
});

describe('decodeMessage', () => {
  test('every truncation of a message with a fixed body is malformed, never an exception', () => {
    // A Pong body is any bytes, so its prefixes are still Pongs.
    for (const v of vectors.filter((x) => x.dir === 'server' && !x.malformed && x.type !== 'Pong')) {
      const bytes = fromHex(v.hex);
      for (let n = 0; n < bytes.length; n++) {
        assert.equal(decodeMessage(bytes.subarray(0, n)).type, 'Malformed', `${v.name} cut to ${n} bytes`);
      }
    }
  });

  test('random frames never throw', () => {
    let seed = 12345;
    const rand = () => {
      seed = (seed * 1103515245 + 12345) % 2147483648;
      return seed / 2147483648;
    };
    const known = new Set(['EnterSceneAck', 'PoseList', 'AttackNotify', 'ObjInfoList', 'TalkNotify', 'LoginAck', 'Pong',
      'ResumeToken', 'ResumeAck', 'Unknown', 'Malformed']);
    for (let i = 0; i < 3000; i++) {
      const bytes = Uint8Array.from({ length: Math.floor(rand() * 40) }, () => Math.floor(rand() * 256));
      if (bytes.length >= 4) {
        bytes[0] = rand() < 0.5 ? 0 : 99;
        bytes[1] = 0;
        bytes[2] = 1 + Math.floor(rand() * 5);
        bytes[3] = 0;
      }
      assert.ok(known.has(decodeMessage(bytes).type));
    }
  });

  test('reads a view that does not start at its buffer\'s first byte', () => {
    const padded = new Uint8Array(3 + 12);
    padded.set(fromHex('630001000000000014001400'), 3);
    const msg = decodeMessage(padded.subarray(3));
    assert.deepEqual(msg.pos, { x: 20, y: 20 });
    assert.deepEqual(decodeMessage(padded.slice(3).buffer).pos, { x: 20, y: 20 });
  });

  test('ignores bytes behind the last field', () => {
    const msg = decodeMessage(fromHex('630001000000000014001400ffff'));
    assert.equal(msg.type, 'EnterSceneAck');
    assert.deepEqual(msg.pos, { x: 20, y: 20 });
  });

  test('reads signed fields as signed and ids as unsigned', () => {
    const msg = decodeMessage(fromHex('6300040001ffffffff010500f6ff0a000a000800'));
    assert.deepEqual(msg.infos[0], { id: 0xffffffff, kind: 1, attr1: 5, hp: -10, attr2: 10, attr3: 10, range: 8 });
    assert.equal(decodeMessage(fromHex('00000100ffffffff00000000')).code, -1);
  });

  test('unknown modules and message numbers come back as Unknown', () => {
    assert.deepEqual(plain(decodeMessage(fromHex('f5010100aa'))), { type: 'Unknown', module: 501, num: 1, body: 'aa' });
    assert.equal(decodeMessage(fromHex('63000600')).type, 'Unknown');
    assert.equal(decodeMessage(fromHex('63000000')).type, 'Unknown');
  });

  test('text and other non-binary data is malformed', () => {
    assert.equal(decodeMessage('63000100').type, 'Malformed');
    assert.equal(decodeMessage(null).type, 'Malformed');
  });

  test('a full 255-entry PoseList decodes', () => {
    const w = new Writer().u16(99).u16(2).u8(255);
    for (let i = 0; i < 255; i++) w.u32(i).u8(1).i16(i % 100).i16(99 - (i % 100));
    const bytes = w.finish();
    assert.equal(bytes.length, 2300);
    const msg = decodeMessage(bytes);
    assert.equal(msg.poses.length, 255);
    assert.deepEqual(msg.poses[254], { id: 254, kind: 1, x: 54, y: 45 });
  });
});

describe('encoders', () => {
  test('a text token is sent as UTF-8 behind its byte count', () => {
    assert.equal(toHex(encodeLogin('é')), '0000010002c3a9');
    assert.equal(encodeLogin('x'.repeat(255)).length, 4 + 1 + 255);
    assert.throws(() => encodeLogin('x'.repeat(256)), RangeError);
  });

  test('coordinates are signed 16-bit, ids unsigned 32-bit', () => {
    assert.equal(toHex(encodeMoveTo({ x: -1, y: 99 })), '63000200ffff6300');
    assert.equal(toHex(encodeAttack({ toID: 0xfffffffe, playerType: 1, attackType: -2 })), '63000300feffffff01feffffff');
  });

  test('ping bodies carry a sequence number that the pong gives back', () => {
    assert.equal(toHex(pingBody(0x01020304)), '04030201');
    assert.equal(pongSeq(pingBody(7)), 7);
    assert.equal(pongSeq(fromHex('0102')), null);
  });

  test('the writer grows past its first buffer', () => {
    const w = new Writer();
    for (let i = 0; i < 100; i++) w.u32(i);
    const r = new Reader(w.finish());
    for (let i = 0; i < 100; i++) assert.equal(r.u32(), i);
  });
});

describe('resume messages', () => {
  const token = Uint8Array.from({ length: 16 }, (_, i) => i);

  test('Resume carries the 16-byte token behind its count, then the frame count as unsigned 32-bit', () => {
    assert.equal(toHex(encodeResume(token, 0x01020304)), '0000040010000102030405060708090a0b0c0d0e0f04030201');
    // The count runs modulo 2^32, as the host's does.
    assert.equal(toHex(encodeResume(token, 2 ** 32 + 5)).slice(-8), '05000000');
  });

  test('ResumeToken and ResumeAck decode; cut short they are malformed', () => {
    const tokenMsg = decodeMessage(fromHex('0000030010000102030405060708090a0b0c0d0e0f'));
    assert.equal(tokenMsg.type, 'ResumeToken');
    assert.deepEqual([...tokenMsg.token], [...token]);
    assert.deepEqual(plain(decodeMessage(fromHex('000004000000000007000000'))),
      { type: 'ResumeAck', module: 0, num: 4, code: ResumeCode.Ok, userId: 7 });
    assert.equal(decodeMessage(fromHex('000004000600000000000000')).code, ResumeCode.FramesAhead);
    assert.equal(decodeMessage(fromHex('0000040000000000070000')).type, 'Malformed');
    assert.equal(decodeMessage(fromHex('00000300100001')).type, 'Malformed');
  });

  test('a frame is any message of a module other than the host\'s, readable or not', () => {
    assert.equal(isModuleFrame(fromHex('6300020000')), true);
    assert.equal(isModuleFrame(fromHex('0001')), true);
    assert.equal(isModuleFrame(fromHex('000001000000000003000000')), false);
    assert.equal(isModuleFrame(fromHex('63')), false);
    assert.equal(isModuleFrame('6300'), false);
  });
});
