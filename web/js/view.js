// Draws the world on a canvas and maps pointer positions to cells.
import { Kind } from './codec.js';
import { EFFECT_MS, GRID } from './world.js';

// Room for the axis labels, in CSS pixels; less on a narrow board, where
// every pixel of a cell counts.
const MARGIN = 24;
const NARROW_MARGIN = 16;
const NARROW = 480;
const MOVE_MS = 220; // one cell's glide

const COLORS = Object.freeze({
  page: '#0f141b',
  board: '#161e29',
  minor: 'rgba(255,255,255,0.045)',
  major: 'rgba(255,255,255,0.16)',
  label: '#7f8ea3',
  self: '#3ddc84',
  player: '#5aa9ff',
  object: '#f0a637',
  down: '#5b6472',
  selected: '#ffffff',
  area: '255,80,80',
  hit: '255,90,90',
  hover: 'rgba(255,255,255,0.35)',
  move: '#3ddc84',
});

const ease = (t) => 1 - (1 - t) * (1 - t);
const clamp01 = (t) => Math.max(0, Math.min(1, t));

function hpColor(frac) {
  if (frac > 0.6) return '#3ddc84';
  if (frac > 0.3) return '#f5c542';
  return '#ff5a5a';
}

export class View {
  // The board is sized to the largest square that fits in `container`.
  constructor(canvas, container) {
    this.canvas = canvas;
    this.container = container;
    this.ctx = canvas.getContext('2d');
    this.size = 0;
    this.cell = 0;
    this.margin = MARGIN;
    this.resize();
  }

  // Sharp on high-density screens too.
  resize() {
    const box = this.container.getBoundingClientRect();
    const size = Math.max(240, Math.floor(Math.min(box.width, box.height)));
    this.margin = size < NARROW ? NARROW_MARGIN : MARGIN;
    const dpr = window.devicePixelRatio || 1;
    this.size = size;
    this.canvas.style.width = `${size}px`;
    this.canvas.style.height = `${size}px`;
    this.canvas.width = Math.round(size * dpr);
    this.canvas.height = Math.round(size * dpr);
    this.ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    this.cell = (size - this.margin - 4) / GRID;
  }

  cellOrigin(x, y) { return [this.margin + x * this.cell, this.margin + y * this.cell]; }

  // The cell under a point of the page, or null off the board.
  cellAt(clientX, clientY) {
    const rect = this.canvas.getBoundingClientRect();
    const x = Math.floor((clientX - rect.left - this.margin) / this.cell);
    const y = Math.floor((clientY - rect.top - this.margin) / this.cell);
    return x >= 0 && x < GRID && y >= 0 && y < GRID ? { x, y } : null;
  }

  // The centre of a cell in page coordinates.
  cellToClient(x, y) {
    const rect = this.canvas.getBoundingClientRect();
    const [cx, cy] = this.cellOrigin(x + 0.5, y + 0.5);
    return { x: rect.left + cx, y: rect.top + cy };
  }

  // Where an object is drawn now: it glides from its last cell to the new one.
  drawPos(o, now) {
    const t = ease(clamp01((now - o.movedAt) / MOVE_MS));
    return [o.fromX + (o.x - o.fromX) * t, o.fromY + (o.y - o.fromY) * t];
  }

  // `live`: the connection is up; otherwise nothing pulses, as nothing the
  // board shows is current.
  draw(world, ui, now, live) {
    const { ctx, size } = this;
    ctx.fillStyle = COLORS.page;
    ctx.fillRect(0, 0, size, size);
    this.drawBoard();
    this.drawEffectsUnder(world, now);
    if (ui.hover) this.drawHover(ui.hover);
    if (ui.moveTarget) this.drawMoveTarget(ui.moveTarget, now);
    const order = (o) => (o.key === world.selfKey ? 2 : o.kind === Kind.User ? 1 : 0);
    const objects = [...world.objects.values()].sort((a, b) => order(a) - order(b));
    for (const o of objects) this.drawObject(o, world, now, live);
    const sel = world.selectedObject;
    if (sel) this.drawSelection(sel, now);
    this.drawEffectsOver(world, now);
    this.drawLabels(objects, world, now);
  }

  drawBoard() {
    const { ctx, cell, margin } = this;
    const span = cell * GRID;
    ctx.fillStyle = COLORS.board;
    ctx.fillRect(margin, margin, span, span);
    ctx.lineWidth = 1;
    if (cell >= 5) {
      ctx.strokeStyle = COLORS.minor;
      ctx.beginPath();
      for (let i = 1; i < GRID; i++) {
        if (i % 10 === 0) continue;
        const p = Math.round(margin + i * cell) + 0.5;
        ctx.moveTo(p, margin); ctx.lineTo(p, margin + span);
        ctx.moveTo(margin, p); ctx.lineTo(margin + span, p);
      }
      ctx.stroke();
    }
    ctx.strokeStyle = COLORS.major;
    ctx.beginPath();
    for (let i = 0; i <= GRID; i += 10) {
      const p = Math.round(margin + i * cell) + 0.5;
      ctx.moveTo(p, margin); ctx.lineTo(p, margin + span);
      ctx.moveTo(margin, p); ctx.lineTo(margin + span, p);
    }
    ctx.stroke();
    ctx.fillStyle = COLORS.label;
    ctx.font = '10px system-ui, sans-serif';
    ctx.textAlign = 'center';
    ctx.textBaseline = 'bottom';
    for (let i = 0; i < GRID; i += 10) ctx.fillText(String(i), margin + (i + 0.5) * cell, margin - 5);
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    for (let i = 0; i < GRID; i += 10) ctx.fillText(String(i), margin - 5, margin + (i + 0.5) * cell);
  }

  drawHover({ x, y }) {
    const [px, py] = this.cellOrigin(x, y);
    this.ctx.strokeStyle = COLORS.hover;
    this.ctx.lineWidth = 1;
    this.ctx.strokeRect(px + 0.5, py + 0.5, this.cell - 1, this.cell - 1);
  }

  drawMoveTarget({ x, y, at }, now) {
    const t = clamp01((now - at) / 900);
    if (t >= 1) return;
    const { ctx, cell } = this;
    const [px, py] = this.cellOrigin(x + 0.5, y + 0.5);
    ctx.strokeStyle = COLORS.move;
    ctx.globalAlpha = 1 - t;
    ctx.lineWidth = 1.5;
    const r = cell * (0.4 + 0.6 * t);
    ctx.beginPath();
    ctx.moveTo(px - r, py); ctx.lineTo(px + r, py);
    ctx.moveTo(px, py - r); ctx.lineTo(px, py + r);
    ctx.stroke();
    ctx.globalAlpha = 1;
  }

  drawObject(o, world, now, live) {
    const { ctx, cell } = this;
    const [gx, gy] = this.drawPos(o, now);
    const [px, py] = this.cellOrigin(gx + 0.5, gy + 0.5);
    const isSelf = o.key === world.selfKey;
    const down = o.hp === 0;
    if (o.kind === Kind.User) {
      const s = cell * (isSelf ? 0.95 : 0.8);
      ctx.fillStyle = down ? COLORS.down : isSelf ? COLORS.self : COLORS.player;
      ctx.fillRect(px - s / 2, py - s / 2, s, s);
      if (isSelf) {
        const pulse = live ? 0.5 + 0.5 * Math.sin(now / 300) : 0;
        ctx.strokeStyle = live ? `rgba(61,220,132,${0.25 + 0.35 * pulse})` : 'rgba(220,220,220,0.5)';
        ctx.lineWidth = 1.5;
        ctx.setLineDash(live ? [] : [3, 3]);
        ctx.beginPath();
        ctx.arc(px, py, cell * (1.1 + 0.25 * pulse), 0, Math.PI * 2);
        ctx.stroke();
        ctx.setLineDash([]);
      }
    } else {
      // A diamond larger than its cell, outlined: the objects start on the
      // cells next to the major grid crossings, and small marks there read
      // as part of the grid.
      const r = Math.max(3, cell * 0.8);
      ctx.fillStyle = down ? COLORS.down : COLORS.object;
      ctx.strokeStyle = COLORS.page;
      ctx.lineWidth = 1.5;
      ctx.beginPath();
      ctx.moveTo(px, py - r); ctx.lineTo(px + r, py); ctx.lineTo(px, py + r); ctx.lineTo(px - r, py);
      ctx.closePath();
      ctx.fill();
      ctx.stroke();
      if (down) {
        const d = r * 0.5;
        ctx.beginPath();
        ctx.moveTo(px - d, py - d); ctx.lineTo(px + d, py + d);
        ctx.moveTo(px + d, py - d); ctx.lineTo(px - d, py + d);
        ctx.stroke();
      }
    }
    this.drawHp(o, px, py);
  }

  // A thin bar over the object: full at 100 hit points.
  drawHp(o, px, py) {
    if (o.hp === null) return;
    const { ctx, cell } = this;
    const w = Math.max(4, cell * 0.9);
    const h = Math.max(1.5, cell * 0.16);
    const x = px - w / 2;
    const y = py - cell * 0.5 - h - 1;
    const frac = clamp01(o.hp / 100);
    ctx.fillStyle = 'rgba(0,0,0,0.65)';
    ctx.fillRect(x, y, w, h);
    ctx.fillStyle = hpColor(frac);
    ctx.fillRect(x, y, w * frac, h);
  }

  drawSelection(o, now) {
    const { ctx, cell } = this;
    const [gx, gy] = this.drawPos(o, now);
    const [px, py] = this.cellOrigin(gx + 0.5, gy + 0.5);
    const r = cell * 0.95 + 2;
    const l = r * 0.6;
    ctx.strokeStyle = COLORS.selected;
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    for (const [sx, sy] of [[-1, -1], [1, -1], [1, 1], [-1, 1]]) {
      const cx = px + sx * r;
      const cy = py + sy * r;
      ctx.moveTo(cx - sx * l, cy); ctx.lineTo(cx, cy); ctx.lineTo(cx, cy - sy * l);
    }
    ctx.stroke();
  }

  // One label per cell that holds players: this page's user (or the lowest
  // id) and how many more stand there, so that a crowd at the start cell
  // does not pile its labels into a smudge.
  drawLabels(objects, world, now) {
    const { ctx, cell } = this;
    const cells = new Map();
    for (const o of objects) {
      if (o.kind !== Kind.User) continue;
      // One number per cell (coordinates are 16-bit): no string per player
      // per frame.
      const at = o.x * 65536 + o.y;
      const list = cells.get(at);
      if (list) list.push(o); else cells.set(at, [o]);
    }
    ctx.font = '600 11px system-ui, sans-serif';
    ctx.textAlign = 'center';
    ctx.textBaseline = 'bottom';
    ctx.lineWidth = 3;
    for (const list of cells.values()) {
      const lead = list.find((o) => o.key === world.selfKey) ?? list.reduce((a, b) => (b.id < a.id ? b : a));
      const isSelf = lead.key === world.selfKey;
      const more = list.length > 1 ? ` +${list.length - 1}` : '';
      const text = `${isSelf ? `you #${lead.id}` : `#${lead.id}`}${more}`;
      const [gx, gy] = this.drawPos(lead, now);
      const [px, py] = this.cellOrigin(gx + 0.5, gy + 0.5);
      const y = py - cell * 0.5 - Math.max(1.5, cell * 0.16) - 4;
      ctx.strokeStyle = 'rgba(15,20,27,0.85)';
      ctx.strokeText(text, px, y);
      ctx.fillStyle = isSelf ? COLORS.self : COLORS.player;
      ctx.fillText(text, px, y);
    }
  }

  drawEffectsUnder(world, now) {
    const { ctx, cell } = this;
    for (const e of world.effects) {
      if (e.type !== 'area') continue;
      const fade = 1 - clamp01((now - e.at) / EFFECT_MS.area);
      const [x0, y0] = this.cellOrigin(e.x0, e.y0);
      const w = (e.x1 - e.x0) * cell;
      const h = (e.y1 - e.y0) * cell;
      if (w <= 0 || h <= 0) continue;
      ctx.fillStyle = `rgba(${COLORS.area},${0.22 * fade})`;
      ctx.fillRect(x0, y0, w, h);
      ctx.strokeStyle = `rgba(${COLORS.area},${0.9 * fade})`;
      ctx.lineWidth = 2;
      ctx.strokeRect(x0 + 1, y0 + 1, w - 2, h - 2);
    }
  }

  drawEffectsOver(world, now) {
    const { ctx, cell } = this;
    for (const e of world.effects) {
      if (e.type === 'hit') {
        const o = world.objects.get(e.key);
        if (!o) continue;
        const t = clamp01((now - e.at) / EFFECT_MS.hit);
        const [gx, gy] = this.drawPos(o, now);
        const [px, py] = this.cellOrigin(gx + 0.5, gy + 0.5);
        ctx.strokeStyle = `rgba(${COLORS.hit},${1 - t})`;
        ctx.lineWidth = 2;
        ctx.beginPath();
        ctx.arc(px, py, cell * (0.5 + 1.5 * t), 0, Math.PI * 2);
        ctx.stroke();
      } else if (e.type === 'beam') {
        const a = world.objects.get(e.from);
        const b = world.objects.get(e.to);
        if (!a || !b) continue;
        const t = clamp01((now - e.at) / EFFECT_MS.beam);
        const [ax, ay] = this.drawPos(a, now);
        const [bx, by] = this.drawPos(b, now);
        const [x0, y0] = this.cellOrigin(ax + 0.5, ay + 0.5);
        const [x1, y1] = this.cellOrigin(bx + 0.5, by + 0.5);
        ctx.strokeStyle = `rgba(${COLORS.hit},${1 - t})`;
        ctx.lineWidth = 2.5;
        ctx.beginPath();
        ctx.moveTo(x0, y0);
        ctx.lineTo(x1, y1);
        ctx.stroke();
      }
    }
  }
}
