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

export const describe = (obj) => (obj.kind === Kind.User ? `player #${obj.id}` : `object ${obj.id}`);

export class World {
  constructor() {
    this.events = [];
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
  }

  get selfKey() { return this.selfId === null ? null : keyOf(this.selfId, Kind.User); }
  get self() { return this.objects.get(this.selfKey) ?? null; }
  get selectedObject() { return this.selected === null ? null : this.objects.get(this.selected) ?? null; }

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

  log(now, text, tone = 'info') {
    this.events.unshift({ at: now, text, tone });
    this.events.length = Math.min(this.events.length, MAX_EVENTS);
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

  onEnterSceneAck({ code, pos }, now) {
    if (code !== 0 || this.selfId === null) return;
    this.place(this.selfId, Kind.User, pos.x, pos.y, now);
    this.selfPos = { ...pos };
    this.log(now, `Entered the scene at (${pos.x}, ${pos.y})`);
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
    this.lastTickAt = now;
    this.ticks++;
  }

  onAttackNotify({ id, kind, attackType, result }, now) {
    const attacker = this.objects.get(keyOf(id, kind)) ?? null;
    for (const r of result) {
      const o = this.objects.get(keyOf(r.id, r.kind));
      if (!o) continue;
      o.hp = r.hp;
      this.effects.push({ type: 'hit', key: o.key, at: now, until: now + EFFECT_MS.hit });
    }
    const who = id === this.selfId && kind === Kind.User ? 'You' : `Player #${id}`;
    if (attackType === AttackType.Area) {
      if (attacker) {
        const r = attacker.info?.range ?? DEFAULT_RANGE;
        this.effects.push({ type: 'area', ...areaSquare(attacker.x, attacker.y, r), at: now, until: now + EFFECT_MS.area });
      }
      this.log(now, `${who}: area attack, ${result.length} hit`, 'attack');
      return;
    }
    const [hit] = result;
    if (!hit) {
      this.log(now, `${who}: attack missed`, 'attack');
      return;
    }
    const target = this.objects.get(keyOf(hit.id, hit.kind));
    if (attacker && target) {
      this.effects.push({ type: 'beam', from: attacker.key, to: target.key, at: now, until: now + EFFECT_MS.beam });
    }
    const victim = hit.id === this.selfId && hit.kind === Kind.User ? 'you' : describe(hit);
    this.log(now, `${who} hit ${victim}: hp ${hit.hp}`, 'attack');
  }

  onTalkNotify({ id, msg }, now) {
    this.log(now, `#${id}: ${new TextDecoder().decode(msg)}`, 'talk');
  }

  prune(now) {
    this.effects = this.effects.filter((e) => e.until > now);
  }
}
