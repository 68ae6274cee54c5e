// What the page knows of the game: every object's cell and hit points as the
// server last reported them, who this page is, and the short-lived effects of
// attacks. Fed with decoded messages; knows nothing of sockets or drawing.
import { AttackType, Kind } from './codec.js';

export const GRID = 100;
// The area attack's radius when the attacker's attributes are not known yet
// (a user's default range).
export const DEFAULT_RANGE = 8;
export const EFFECT_MS = { area: 700, hit: 600, beam: 350 };
const MAX_EVENTS = 40;

export const keyOf = (id, kind) => `${kind}:${id}`;

// The cells an area attack centred on (x, y) covers, as the server works them
// out: x - r up to x + r - 1, cut to the grid; radius 0 means the whole grid.
export function areaSquare(x, y, r) {
  if (r === 0) return { x0: 0, y0: 0, x1: GRID, y1: GRID };
  return {
    x0: Math.max(0, x - r), y0: Math.max(0, y - r),
    x1: Math.min(GRID, x + r), y1: Math.min(GRID, y + r),
  };
}

export const describe = (obj, selfKey = null) => {
  if (obj.kind !== Kind.User) return `object ${obj.id}`;
  return keyOf(obj.id, obj.kind) === selfKey ? 'you' : `player #${obj.id}`;
};

// Steps between two cells when moving diagonally counts as one: the area
// attack covers a square, so this is the distance it reaches over.
export const cellDistance = (a, b) => Math.max(Math.abs(a.x - b.x), Math.abs(a.y - b.y));

export class World {
  constructor() {
    this.events = [];
    // The player's own events, kept apart so that a busy world does not
    // push them out of the log.
    this.mine = [];
    this.reset(null);
  }

  // A fresh view of the scene for a new login; the event log is kept.
  reset(selfId) {
    this.selfId = selfId;
    this.objects = new Map();
    this.selfPos = null;
    this.lastTickAt = null;
    this.ticks = 0;
    this.effects = [];
    this.selected = null;
    this.havePoses = false;
    // Why this page's user is down (0 hit points), while it is.
    this.downCause = null;
  }

  get selfKey() { return this.selfId === null ? null : keyOf(this.selfId, Kind.User); }
  get self() { return this.objects.get(this.selfKey) ?? null; }
  get selectedObject() { return this.selected === null ? null : this.objects.get(this.selected) ?? null; }
  get down() { return this.self?.hp === 0; }

  count(kind) {
    let n = 0;
    for (const o of this.objects.values()) if (o.kind === kind) n++;
    return n;
  }

  players() {
    return [...this.objects.values()].filter((o) => o.kind === Kind.User).sort((a, b) => a.id - b.id);
  }

  // Objects in a cell, those worth picking first: other players, then
  // server-driven objects, this page's own user last.
  objectsAt(x, y) {
    const rank = (o) => (o.key === this.selfKey ? 2 : o.kind === Kind.User ? 0 : 1);
    return [...this.objects.values()].filter((o) => o.x === x && o.y === y).sort((a, b) => rank(a) - rank(b));
  }

  // Everything but this page's user, nearest first (ties: players, then
  // lower ids), for picking targets from the keyboard.
  targetsByDistance() {
    const from = this.selfPos;
    const rank = (o) => (from ? cellDistance(o, from) : 0) * 2 + (o.kind === Kind.User ? 0 : 1);
    return [...this.objects.values()].filter((o) => o.key !== this.selfKey)
      .sort((a, b) => rank(a) - rank(b) || a.id - b.id);
  }

  // `mine`: the event is about this page's user (its actions, or hits on it).
  log(now, text, tone = 'info', mine = false) {
    const event = { at: now, text, tone, mine };
    for (const list of mine ? [this.events, this.mine] : [this.events]) {
      list.unshift(event);
      list.length = Math.min(list.length, MAX_EVENTS);
    }
  }

  // This page's user reached 0 hit points: remember why and say so.
  noteDown(cause, now) {
    if (this.downCause !== null) return;
    this.downCause = cause;
    this.log(now, `You are down: ${cause} took your last hit points`, 'bad', true);
  }

  apply(msg, now) {
    switch (msg.type) {
      case 'EnterSceneAck': return this.onEnterSceneAck(msg, now);
      case 'PoseList': return this.onPoseList(msg, now);
      case 'ObjInfoList': return this.onObjInfoList(msg, now);
      case 'AttackNotify': return this.onAttackNotify(msg, now);
      case 'TalkNotify': return this.onTalkNotify(msg, now);
      default: return undefined;
    }
  }

  place(id, kind, x, y, now) {
    const key = keyOf(id, kind);
    const o = this.objects.get(key);
    if (!o) {
      const fresh = { key, id, kind, x, y, fromX: x, fromY: y, movedAt: now, hp: null, info: null };
      this.objects.set(key, fresh);
      return fresh;
    }
    if (o.x !== x || o.y !== y) {
      o.fromX = o.x; o.fromY = o.y; o.movedAt = now;
      o.x = x; o.y = y;
    }
    return o;
  }

  // Entering again is how a user gets up: the server resets its attributes
  // (100 hit points) and leaves it on its cell.
  onEnterSceneAck({ code, pos }, now) {
    if (code !== 0 || this.selfId === null) return;
    const me = this.place(this.selfId, Kind.User, pos.x, pos.y, now);
    const wasDown = me.hp === 0;
    if (me.hp !== null) me.hp = 100;
    this.downCause = null;
    this.selfPos = { ...pos };
    this.log(now, wasDown ? `You got up at (${pos.x}, ${pos.y}): 100 hit points`
      : `Entered the scene at (${pos.x}, ${pos.y})`, 'info', true);
  }

  onPoseList({ poses }, now) {
    const known = new Set(this.objects.keys());
    const seen = new Set();
    for (const p of poses) {
      const o = this.place(p.id, p.kind, p.x, p.y, now);
      seen.add(o.key);
      if (this.havePoses && !known.has(o.key) && o.kind === Kind.User && o.key !== this.selfKey) {
        known.add(o.key);
        this.log(now, `Player #${o.id} joined`);
      }
    }
    for (const [key, o] of this.objects) {
      if (seen.has(key)) continue;
      this.objects.delete(key);
      if (key === this.selected) this.selected = null;
      if (o.kind === Kind.User && key !== this.selfKey) this.log(now, `Player #${o.id} left`);
    }
    const me = this.self;
    this.selfPos = me ? { x: me.x, y: me.y } : null;
    this.havePoses = true;
  }

  onObjInfoList({ infos }, now) {
    for (const info of infos) {
      const o = this.objects.get(keyOf(info.id, info.kind));
      if (!o) continue;
      o.info = info;
      o.hp = info.hp;
    }
    if (this.down) this.noteDown('attacks', now);
    else this.downCause = null;
    this.lastTickAt = now;
    this.ticks++;
  }

  onAttackNotify({ id, kind, attackType, result }, now) {
    const attacker = this.objects.get(keyOf(id, kind)) ?? null;
    const byMe = id === this.selfId && kind === Kind.User;
    let meHit = null;
    for (const r of result) {
      const o = this.objects.get(keyOf(r.id, r.kind));
      if (r.id === this.selfId && r.kind === Kind.User) meHit = r;
      if (!o) continue;
      o.hp = r.hp;
      this.effects.push({ type: 'hit', key: o.key, at: now, until: now + EFFECT_MS.hit });
    }
    const who = byMe ? 'You' : `Player #${id}`;
    const mine = byMe || meHit !== null;
    if (attackType === AttackType.Area) {
      if (attacker) {
        const r = attacker.info?.range ?? DEFAULT_RANGE;
        this.effects.push({ type: 'area', ...areaSquare(attacker.x, attacker.y, r), at: now, until: now + EFFECT_MS.area });
      }
      let text = `${who}: area attack, ${result.length} hit`;
      if (meHit) text += byMe ? `, you too: hp ${meHit.hp}` : `, you: hp ${meHit.hp}`;
      this.log(now, text, 'attack', mine);
      if (meHit?.hp === 0) this.noteDown(byMe ? 'your own area attack' : `player #${id}'s area attack`, now);
      return;
    }
    const [hit] = result;
    if (!hit) {
      this.log(now, `${who}: attack missed`, 'attack', mine);
      return;
    }
    const target = this.objects.get(keyOf(hit.id, hit.kind));
    if (attacker && target) {
      this.effects.push({ type: 'beam', from: attacker.key, to: target.key, at: now, until: now + EFFECT_MS.beam });
    }
    const victim = meHit ? 'you' : describe(hit);
    this.log(now, `${who} hit ${victim}: hp ${hit.hp}`, 'attack', mine);
    if (meHit?.hp === 0) this.noteDown(byMe ? 'your own attack' : `player #${id}'s attack`, now);
  }

  onTalkNotify({ id, msg }, now) {
    this.log(now, `#${id}: ${new TextDecoder().decode(msg)}`, 'talk');
  }

  prune(now) {
    this.effects = this.effects.filter((e) => e.until > now);
  }
}
