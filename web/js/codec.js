// Binary messages between the page and corvane-host, and nothing else.
//
// Client -> server: 4-byte header (module id u16, command u16) + body.
// Server -> client: 4-byte frame (module id u16, message number u16) + body.
// Every integer is little-endian; a counted sequence is a count byte (0..255)
// followed by its elements; a short string (vecChar) is a count byte followed
// by that many raw bytes.

export const HOST_MODULE = 0;
export const EASYDEMO_MODULE = 99;
export const MAX_COUNT = 255;

export const HostCmd = Object.freeze({ Login: 1, Logout: 2, Ping: 3, Resume: 4 });
export const HostMsg = Object.freeze({ LoginAck: 1, Pong: 2, ResumeToken: 3, ResumeAck: 4 });
export const DemoCmd = Object.freeze({ EnterScene: 1, MoveTo: 2, Attack: 3 });
export const DemoMsg = Object.freeze({
  EnterSceneAck: 1, PoseList: 2, AttackNotify: 3, ObjInfoList: 4, TalkNotify: 5,
});

export const LoginCode = Object.freeze({
  Ok: 0, Unauthorized: 1, ServerFull: 2, MalformedLogin: 3, AlreadyLoggedIn: 4, Draining: 5,
});

// ResumeAck codes: only Ok resumes; after any other the host closes the
// connection and the user is gone.
export const ResumeCode = Object.freeze({
  Ok: 0, UnknownToken: 1, TokenUsed: 2, Expired: 3, Overflow: 4, FramesTooOld: 5, FramesAhead: 6, Malformed: 7,
  Off: 8,
});

// A resume token is exactly this many bytes.
export const RESUME_TOKEN_BYTES = 16;

// attackType 1 asks for an area attack around the attacker; any other value
// is a single-target attack.
export const AttackType = Object.freeze({ Single: 0, Area: 1 });

export const Kind = Object.freeze({ User: 0, Object: 1 });

export class DecodeError extends Error {}

export class Reader {
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.pos = 0;
  }

  get remaining() { return this.bytes.length - this.pos; }

  take(n) {
    if (n > this.remaining) {
      throw new DecodeError(`need ${n} bytes at offset ${this.pos}, ${this.remaining} left`);
    }
    const at = this.pos;
    this.pos += n;
    return at;
  }

  u8() { return this.view.getUint8(this.take(1)); }
  u16() { return this.view.getUint16(this.take(2), true); }
  i16() { return this.view.getInt16(this.take(2), true); }
  u32() { return this.view.getUint32(this.take(4), true); }
  i32() { return this.view.getInt32(this.take(4), true); }

  raw(n) {
    const at = this.take(n);
    return this.bytes.slice(at, at + n);
  }

  rest() { return this.raw(this.remaining); }

  seq(readOne) {
    const n = this.u8();
    const out = [];
    for (let i = 0; i < n; i++) out.push(readOne(this));
    return out;
  }

  vecChar() { return this.raw(this.u8()); }
}

export class Writer {
  constructor() {
    this.buf = new Uint8Array(32);
    this.view = new DataView(this.buf.buffer);
    this.len = 0;
  }

  grow(n) {
    if (this.len + n <= this.buf.length) return;
    let size = this.buf.length * 2;
    while (size < this.len + n) size *= 2;
    const next = new Uint8Array(size);
    next.set(this.buf.subarray(0, this.len));
    this.buf = next;
    this.view = new DataView(next.buffer);
  }

  u8(v) { this.grow(1); this.view.setUint8(this.len, v); this.len += 1; return this; }
  u16(v) { this.grow(2); this.view.setUint16(this.len, v, true); this.len += 2; return this; }
  i16(v) { this.grow(2); this.view.setInt16(this.len, v, true); this.len += 2; return this; }
  u32(v) { this.grow(4); this.view.setUint32(this.len, v, true); this.len += 4; return this; }
  i32(v) { this.grow(4); this.view.setInt32(this.len, v, true); this.len += 4; return this; }

  raw(bytes) {
    this.grow(bytes.length);
    this.buf.set(bytes, this.len);
    this.len += bytes.length;
    return this;
  }

  vecChar(bytes) {
    if (bytes.length > MAX_COUNT) {
      throw new RangeError(`short string of ${bytes.length} bytes, at most ${MAX_COUNT}`);
    }
    return this.u8(bytes.length).raw(bytes);
  }

  finish() { return this.buf.slice(0, this.len); }
}

// Records, fields in wire order.
export const readPos = (r) => ({ x: r.i16(), y: r.i16() });
export const readObjPos = (r) => ({ id: r.u32(), kind: r.u8(), x: r.i16(), y: r.i16() });
export const readObjInfo = (r) => ({
  id: r.u32(), kind: r.u8(),
  attr1: r.i16(), hp: r.i16(), attr2: r.i16(), attr3: r.i16(), range: r.i16(),
});
export const readAttackResult = (r) => ({ id: r.u32(), kind: r.u8(), reserved: r.u8(), hp: r.i16() });

const readers = {
  [HOST_MODULE]: {
    [HostMsg.LoginAck]: ['LoginAck', (r) => ({ code: r.i32(), userId: r.u32() })],
    [HostMsg.Pong]: ['Pong', (r) => ({ body: r.rest() })],
    [HostMsg.ResumeToken]: ['ResumeToken', (r) => ({ token: r.vecChar() })],
    [HostMsg.ResumeAck]: ['ResumeAck', (r) => ({ code: r.i32(), userId: r.u32() })],
  },
  [EASYDEMO_MODULE]: {
    [DemoMsg.EnterSceneAck]: ['EnterSceneAck', (r) => ({ code: r.i32(), pos: readPos(r) })],
    [DemoMsg.PoseList]: ['PoseList', (r) => ({ poses: r.seq(readObjPos) })],
    [DemoMsg.AttackNotify]: ['AttackNotify', (r) => ({
      id: r.u32(), kind: r.u8(), attackType: r.i32(), result: r.seq(readAttackResult),
    })],
    [DemoMsg.ObjInfoList]: ['ObjInfoList', (r) => ({ infos: r.seq(readObjInfo) })],
    [DemoMsg.TalkNotify]: ['TalkNotify', (r) => ({ id: r.i32(), msg: r.vecChar() })],
  },
};

function asBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  return null;
}

// Whether a server message is one of the module's (a frame, in the count a
// resume sends), rather than one of the host's own.
export function isModuleFrame(data) {
  const bytes = asBytes(data);
  return bytes !== null && bytes.length >= 2 && (bytes[0] | bytes[1]) !== 0;
}

// Decodes one server message. Never throws: anything it cannot read comes
// back as { type: 'Malformed', error }, and a frame it does not know as
// { type: 'Unknown' }. Bytes behind the last field are ignored, as the
// server ignores them in client messages.
export function decodeMessage(data) {
  const bytes = asBytes(data);
  if (bytes === null) return { type: 'Malformed', error: 'not binary data' };
  if (bytes.length < 4) return { type: 'Malformed', error: `frame of ${bytes.length} bytes` };
  const r = new Reader(bytes);
  const module = r.u16();
  const num = r.u16();
  const entry = readers[module]?.[num];
  if (!entry) return { type: 'Unknown', module, num, body: r.rest() };
  const [type, read] = entry;
  try {
    return { type, module, num, ...read(r) };
  } catch (e) {
    return { type: 'Malformed', module, num, name: type, error: e.message };
  }
}

const header = (module, cmd) => new Writer().u16(module).u16(cmd);

const utf8 = new TextEncoder();
const toBytes = (v) => (typeof v === 'string' ? utf8.encode(v) : v);

// Login token as text (sent as UTF-8) or bytes; at most 255 bytes.
export const encodeLogin = (token) => header(HOST_MODULE, HostCmd.Login).vecChar(toBytes(token)).finish();
export const encodeLogout = () => header(HOST_MODULE, HostCmd.Logout).finish();
export const encodePing = (body) => header(HOST_MODULE, HostCmd.Ping).raw(body).finish();
// framesReceived: the module's messages received since the login, on every
// connection of that login, modulo 2^32.
export const encodeResume = (token, framesReceived) =>
  header(HOST_MODULE, HostCmd.Resume).vecChar(token).u32(framesReceived >>> 0).finish();

export const encodeEnterScene = () => header(EASYDEMO_MODULE, DemoCmd.EnterScene).finish();
export const encodeMoveTo = ({ x, y }) => header(EASYDEMO_MODULE, DemoCmd.MoveTo).i16(x).i16(y).finish();
export const encodeAttack = ({ toID, playerType, attackType }) =>
  header(EASYDEMO_MODULE, DemoCmd.Attack).u32(toID).u8(playerType).i32(attackType).finish();

// The page's Ping body is a 32-bit sequence number, so that a Pong can be
// matched with the Ping it answers.
export const pingBody = (seq) => new Writer().u32(seq >>> 0).finish();
export const pongSeq = (body) => (body.length === 4 ? new Reader(body).u32() : null);

export const tokenBytes = (token) => utf8.encode(token).length;
