// Wire format of the game subset the peer serves: 4-byte header (module id,
// command; little-endian u16 each), then the body. Counted lists carry a
// one-byte count.

export const HOST_MODULE = 0;
export const GAME_MODULE = 99;

// client -> server
export const LOGIN = 1;
export const PING = 3;
export const ENTER_SCENE = 1;
export const MOVE_TO = 2;
export const ATTACK = 3;
export const TALK = 4;

// server -> client
export const LOGIN_ACK = 1;
export const PONG = 2;
export const ENTER_SCENE_ACK = 1;
export const POSE_LIST = 2;
export const ATTACK_NOTIFY = 3;
export const OBJ_INFO_LIST = 4;

export const AREA_ATTACK = 1;

function header(size, module, cmd) {
  const buf = Buffer.allocUnsafe(size);
  buf.writeUInt16LE(module, 0);
  buf.writeUInt16LE(cmd, 2);
  return buf;
}

export function loginAck(code, userId) {
  const buf = header(12, HOST_MODULE, LOGIN_ACK);
  buf.writeInt32LE(code, 4);
  buf.writeUInt32LE(userId, 8);
  return buf;
}

export function pong(body) {
  return Buffer.concat([header(4, HOST_MODULE, PONG), body]);
}

export function enterSceneAck(code, x, y) {
  const buf = header(12, GAME_MODULE, ENTER_SCENE_ACK);
  buf.writeInt32LE(code, 4);
  buf.writeInt16LE(x, 8);
  buf.writeInt16LE(y, 10);
  return buf;
}

// objects: [{ id, kind, x, y }]
export function poseList(objects) {
  const buf = header(5 + objects.length * 9, GAME_MODULE, POSE_LIST);
  buf.writeUInt8(objects.length, 4);
  let at = 5;
  for (const o of objects) {
    buf.writeUInt32LE(o.id, at);
    buf.writeUInt8(o.kind, at + 4);
    buf.writeInt16LE(o.x, at + 5);
    buf.writeInt16LE(o.y, at + 7);
    at += 9;
  }
  return buf;
}

// results: [{ id, kind, hp }]
export function attackNotify(attackerId, attackType, results) {
  const buf = header(14 + results.length * 8, GAME_MODULE, ATTACK_NOTIFY);
  buf.writeUInt32LE(attackerId, 4);
  buf.writeUInt8(0, 8);
  buf.writeInt32LE(attackType, 9);
  buf.writeUInt8(results.length, 13);
  let at = 14;
  for (const r of results) {
    buf.writeUInt32LE(r.id, at);
    buf.writeUInt8(r.kind, at + 4);
    buf.writeUInt8(0, at + 5);
    buf.writeInt16LE(r.hp, at + 6);
    at += 8;
  }
  return buf;
}

// objects: [{ id, kind, attr1, hp, attr2, attr3, range }]
export function objInfoList(objects) {
  const buf = header(5 + objects.length * 15, GAME_MODULE, OBJ_INFO_LIST);
  buf.writeUInt8(objects.length, 4);
  let at = 5;
  for (const o of objects) {
    buf.writeUInt32LE(o.id, at);
    buf.writeUInt8(o.kind, at + 4);
    buf.writeInt16LE(o.attr1, at + 5);
    buf.writeInt16LE(o.hp, at + 7);
    buf.writeInt16LE(o.attr2, at + 9);
    buf.writeInt16LE(o.attr3, at + 11);
    buf.writeInt16LE(o.range, at + 13);
    at += 15;
  }
  return buf;
}
