// Wires the page together: the connection feeds the world, the view draws it,
// pointer and keys become game commands, the side panel shows the state.
import {
  AttackType, Kind, MAX_COUNT, encodeAttack, encodeEnterScene, encodeMoveTo, tokenBytes,
} from './codec.js';
import { fetchWorlds, freeSeats, makeMatchmaker } from './lobby.js';
import { ConnState, Connection } from './net.js';
import { GRID, World, describe } from './world.js';
import { View } from './view.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.now();
const TOKEN_KEY = 'corvane.token';
const STATUS_MS = 250;
// The list costs Redis a look at every world: refreshed rarely, and at
// each login.
const LOBBY_MS = 30000;

const world = new World();
const view = new View($('world'), $('board'));
const ui = { hover: null, pointer: null, moveTarget: null };

const wsUrl = () => `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/ws`;

const conn = new Connection({
  url: wsUrl(),
  token: sessionStorage.getItem(TOKEN_KEY) ?? '',
  onState: () => renderStatus(),
  onLogin: (userId) => {
    world.reset(userId);
    world.log(now(), `Logged in as user #${userId}`);
    conn.send(encodeEnterScene());
    if (lobby.fleet) refreshLobby();
  },
  onMessage: (msg) => world.apply(msg, now()),
});

// For poking at the game from the browser's console.
window.corvane = { world, view, conn };

// ---- commands

function moveTo(x, y) {
  if (x < 0 || x >= GRID || y < 0 || y >= GRID) return;
  if (conn.send(encodeMoveTo({ x, y }))) ui.moveTarget = { x, y, at: now() };
  else refusedSend();
}

function attackSelected() {
  const target = world.selectedObject;
  if (!target) {
    world.log(now(), 'Select an object to attack first', 'warn');
    return;
  }
  if (!conn.send(encodeAttack({ toID: target.id, playerType: target.kind, attackType: AttackType.Single }))) {
    refusedSend();
  }
}

function areaAttack() {
  if (world.selfId === null) return;
  if (!conn.send(encodeAttack({ toID: world.selfId, playerType: Kind.User, attackType: AttackType.Area }))) {
    refusedSend();
  }
}

function refusedSend() {
  if (conn.state === ConnState.Online) world.log(now(), 'Too fast: command not sent', 'warn');
}

// ---- input

const canvas = $('world');

canvas.addEventListener('click', (ev) => {
  canvas.focus();
  const cell = view.cellAt(ev.clientX, ev.clientY);
  if (!cell) return;
  const here = world.objectsAt(cell.x, cell.y).filter((o) => o.key !== world.selfKey);
  if (here.length > 0) {
    // Repeated clicks on a crowded cell walk through what is in it.
    const at = here.findIndex((o) => o.key === world.selected);
    world.selected = here[(at + 1) % here.length].key;
    return;
  }
  const me = world.self;
  if (me && me.x === cell.x && me.y === cell.y) {
    world.selected = null;
    return;
  }
  moveTo(cell.x, cell.y);
});

canvas.addEventListener('mousemove', (ev) => {
  ui.hover = view.cellAt(ev.clientX, ev.clientY);
  ui.pointer = { x: ev.offsetX, y: ev.offsetY };
  renderHover();
});
canvas.addEventListener('mouseleave', () => {
  ui.hover = null;
  renderHover();
});

const STEPS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

document.addEventListener('keydown', (ev) => {
  if (ev.target instanceof HTMLInputElement || ev.ctrlKey || ev.metaKey || ev.altKey) return;
  const key = ev.key.length === 1 ? ev.key.toLowerCase() : ev.key;
  if (key === 'a') attackSelected();
  else if (key === 's') areaAttack();
  else if (key === 'Escape') world.selected = null;
  else if (STEPS[key] && world.selfPos) {
    moveTo(world.selfPos.x + STEPS[key][0], world.selfPos.y + STEPS[key][1]);
  } else return;
  ev.preventDefault();
});

$('btn-attack').addEventListener('click', attackSelected);
$('btn-area').addEventListener('click', areaAttack);
$('reconnect').addEventListener('click', () => conn.reconnectNow());

$('token-form').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const token = $('token').value;
  if (tokenBytes(token) > MAX_COUNT) {
    $('token-msg').textContent = `A token is at most ${MAX_COUNT} bytes.`;
    return;
  }
  sessionStorage.setItem(TOKEN_KEY, token);
  conn.setToken(token);
  conn.reconnectNow();
});

new ResizeObserver(() => view.resize()).observe($('board'));
window.addEventListener('pagehide', () => conn.stop());

// ---- side panel

const CONN_LABEL = {
  [ConnState.Matchmaking]: 'finding a world…',
  [ConnState.Connecting]: 'connecting…',
  [ConnState.LoggingIn]: 'logging in…',
  [ConnState.Online]: 'online',
  [ConnState.Waiting]: 'disconnected',
  [ConnState.Refused]: 'login refused',
  [ConnState.Stopped]: 'stopped',
};

const setText = (id, text) => {
  const el = $(id);
  if (el.textContent !== text) el.textContent = text;
};

const clock = (at) => new Date(performance.timeOrigin + at).toLocaleTimeString([], { hour12: false });
const fmtCell = (o) => `${o.x}, ${o.y}`;

let shownPlayers = '';
let shownEvent = null;
let shownTarget = '';

function renderStatus() {
  const t = now();
  const s = conn.snapshot();
  document.body.dataset.conn = s.state;
  let label = CONN_LABEL[s.state];
  if (s.state === ConnState.Waiting && s.retryAt !== null) {
    label = `retrying in ${Math.max(0, Math.ceil((s.retryAt - t) / 1000))} s`;
  }
  setText('conn-badge', CONN_LABEL[s.state]);
  setText('st-conn', label);
  setText('st-user', s.userId === null ? '—' : String(s.userId));
  setText('st-cell', world.selfPos ? fmtCell(world.selfPos) : '—');
  const me = world.self;
  setText('st-hp', me?.hp == null ? '—' : String(me.hp));
  setText('st-objects', String(world.count(Kind.Object)));
  setText('st-players', String(world.count(Kind.User)));
  setText('st-tick', world.lastTickAt === null ? '—'
    : `${((t - world.lastTickAt) / 1000).toFixed(1)} s ago (#${world.ticks})`);
  setText('st-ping', s.rtt === null ? '—' : `${Math.round(s.rtt)} ms`);

  const detail = s.state === ConnState.Waiting ? s.detail : '';
  $('st-detail').hidden = !detail;
  setText('st-detail', detail + (s.badFrames ? ` (${s.badFrames} bad messages dropped)` : ''));
  $('reconnect').hidden = s.state !== ConnState.Waiting;

  const refused = s.state === ConnState.Refused;
  const form = $('token-form');
  if (refused && form.hidden) {
    form.hidden = false;
    $('token').focus();
  } else if (!refused) {
    form.hidden = true;
  }
  if (refused) setText('token-msg', s.detail);

  renderOverlay(s, label);
  renderLobby(s);
  renderTarget();
  renderPlayers();
  renderEvents();
  $('btn-attack').disabled = s.state !== ConnState.Online || !world.selectedObject;
  $('btn-area').disabled = s.state !== ConnState.Online || !world.self;
  renderHover();
}

function renderOverlay(s, label) {
  const overlay = $('overlay');
  let text = '';
  if (s.state === ConnState.Matchmaking) text = 'Finding a world with room…';
  else if (s.state === ConnState.Connecting || s.state === ConnState.LoggingIn) {
    text = `Connecting to ${s.world ? `world ${s.world}` : location.host}…`;
  }
  else if (s.state === ConnState.Waiting) text = `Disconnected: ${s.detail}. ${label[0].toUpperCase()}${label.slice(1)}.`;
  else if (s.state === ConnState.Refused) text = `${s.detail} Enter a token in the panel on the right.`;
  else if (s.state === ConnState.Stopped) text = 'Disconnected.';
  overlay.hidden = !text;
  if (text && overlay.textContent !== text) {
    overlay.replaceChildren(Object.assign(document.createElement('div'), { textContent: text }));
  }
}

function renderTarget() {
  const o = world.selectedObject;
  let sig = 'none';
  if (o) sig = `${o.key}|${o.x}|${o.y}|${o.hp}|${JSON.stringify(o.info)}`;
  if (sig === shownTarget) return;
  shownTarget = sig;
  const box = $('target');
  if (!o) {
    box.textContent = 'Click an object on the board to select it.';
    return;
  }
  const name = document.createElement('strong');
  name.textContent = describe(o);
  const line = document.createElement('div');
  line.className = 'muted';
  line.textContent = `cell ${fmtCell(o)} · hp ${o.hp ?? '?'}`
    + (o.info ? ` · attr ${o.info.attr1}/${o.info.attr2}/${o.info.attr3} · range ${o.info.range}` : '');
  box.replaceChildren(name, line);
}

function renderPlayers() {
  const players = world.players();
  const sig = players.map((p) => `${p.id}:${p.x},${p.y}:${p.hp}`).join(' ') + `|${world.selfId}`;
  if (sig === shownPlayers) return;
  shownPlayers = sig;
  $('players').replaceChildren(...players.map((p) => {
    const li = document.createElement('li');
    li.dataset.userId = String(p.id);
    if (p.key === world.selfKey) li.className = 'me';
    const who = document.createElement('span');
    who.textContent = p.key === world.selfKey ? `#${p.id} (you)` : `#${p.id}`;
    const where = document.createElement('span');
    where.textContent = `(${fmtCell(p)}) · hp ${p.hp ?? '?'}`;
    li.append(who, where);
    return li;
  }));
}

function renderEvents() {
  if (world.events[0] === shownEvent) return;
  shownEvent = world.events[0];
  $('events').replaceChildren(...world.events.map((e) => {
    const li = document.createElement('li');
    li.className = e.tone;
    const time = document.createElement('time');
    time.textContent = clock(e.at);
    li.append(time, e.text);
    return li;
  }));
}

// ---- lobby (only when the server belongs to a fleet of worlds)

const lobby = { fleet: false, worlds: [], shown: '' };

async function refreshLobby() {
  const found = await fetchWorlds();
  lobby.worlds = found.worlds;
  renderLobby(conn.snapshot());
}

function renderLobby(s) {
  if (!lobby.fleet) return;
  const sig = JSON.stringify([lobby.worlds, s.world, s.state]);
  if (sig === lobby.shown) return;
  lobby.shown = sig;
  $('lobby').hidden = false;
  setText('lobby-world', s.world && s.state === ConnState.Online ? `You play in world ${s.world}.`
    : 'Matchmaking picks the fullest world with a free seat.');
  $('worlds').replaceChildren(...lobby.worlds.map((w) => {
    const tr = document.createElement('tr');
    tr.dataset.world = w.name;
    if (w.name === s.world) tr.className = 'me';
    for (const text of [w.name, `${w.users}/${w.maxUsers}`, String(freeSeats(w))]) {
      tr.append(Object.assign(document.createElement('td'), { textContent: text }));
    }
    return tr;
  }));
}

// A tooltip beside the pointer: the cell and what stands in it.
function renderHover() {
  const box = $('hover-info');
  if (!ui.hover) {
    box.hidden = true;
    return;
  }
  const { x, y } = ui.hover;
  const here = world.objectsAt(x, y).map(describe).join(', ');
  box.hidden = false;
  setText('hover-info', `(${x}, ${y})${here ? ` · ${here}` : ''}`);
  const flip = ui.pointer.x > view.size * 0.7;
  box.style.left = flip ? '' : `${ui.pointer.x + 14}px`;
  box.style.right = flip ? `${view.size - ui.pointer.x + 14}px` : '';
  box.style.top = `${ui.pointer.y + 16}px`;
}

// ---- loop

function frame() {
  const t = now();
  world.prune(t);
  view.draw(world, ui, t);
  requestAnimationFrame(frame);
}

setInterval(renderStatus, STATUS_MS);
renderStatus();
requestAnimationFrame(frame);

// A server in a fleet answers /worlds: then every connection goes through
// matchmaking; otherwise the page connects to this server directly.
fetchWorlds().then((found) => {
  if (found.fleet) {
    lobby.fleet = true;
    lobby.worlds = found.worlds;
    conn.matchmake = makeMatchmaker();
    setInterval(refreshLobby, LOBBY_MS);
  }
  conn.start();
});
