// Wires the page together: the connection feeds the world, the view draws it,
// pointer and keys become game commands, the side panel shows the state.
import {
  AttackType, Kind, MAX_COUNT, encodeAttack, encodeEnterScene, encodeMoveTo, tokenBytes,
} from './codec.js';
import { allFull, fetchWorlds, freeSeats, makeMatchmaker, worldGone } from './lobby.js';
import { ConnState, Connection, SEND_RATE, WorldsFull } from './net.js';
import { DEFAULT_RANGE, GRID, World, cellDistance, describe } from './world.js';
import { View } from './view.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.now();
const TOKEN_KEY = 'corvane.token';
const STATUS_MS = 250;
// The list costs Redis a look at every world: refreshed rarely, and at
// each login.
const LOBBY_MS = 30000;
const LOBBY_AFTER_LOGIN_MS = 1000;
// How long a message about the player's own doing stays next to the board.
const FEEDBACK_MS = 8000;
// Steps pressed faster than the connection may send wait here, up to this
// many; more are dropped, and the page says so.
const MAX_QUEUED_STEPS = 10;
// A move not yet confirmed by the server is where the next step starts from,
// for this long.
const MOVE_SETTLE_MS = 1500;

const world = new World();
const view = new View($('world'), $('board-box'));
// note: a passing message (a selection, a refusal) shown next to the board
// but not logged; dropped: commands not sent while disconnected.
const ui = { hover: null, pointer: null, moveTarget: null, note: null, steps: [], stepTimer: null, dropped: 0 };

const wsUrl = () => `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/ws`;

const conn = new Connection({
  url: wsUrl(),
  token: sessionStorage.getItem(TOKEN_KEY) ?? '',
  onState: () => renderStatus(),
  onLogin: (userId) => {
    world.reset(userId);
    ui.dropped = 0;
    world.log(now(), `Logged in as user #${userId}`);
    conn.send(encodeEnterScene());
    if (lobby.fleet) {
      const { world: name } = conn.snapshot();
      if (lobby.lastWorld !== null && name !== lobby.lastWorld) {
        if (conn.leftDraining) world.log(now(), `Moved to world ${name}: world ${lobby.lastWorld} is shutting down`);
        else world.log(now(), `Moved to world ${name}: world ${lobby.lastWorld} could not be reached`, 'warn', true);
      }
      lobby.lastWorld = name;
      // Hosts keep the list for half a second: read it once this login shows.
      setTimeout(refreshLobby, LOBBY_AFTER_LOGIN_MS);
    }
  },
  onMessage: (msg) => world.apply(msg, now()),
  onResumeRefused: () => world.log(now(), 'The server no longer held your game: logging in afresh', 'warn', true),
});

// For poking at the game from the browser's console.
window.corvane = { world, view, conn, ui };

// ---- commands

// A message about the player's own action, next to the board.
function note(text, tone = 'warn') {
  ui.note = { text, tone, at: now() };
  renderStatus();
}

// Whether an action can go out now; if not, says why.
function ready(what) {
  if (conn.state !== ConnState.Online) {
    ui.dropped++;
    note(`Not connected: ${what} not sent`);
    return false;
  }
  if (world.down) {
    note(`You are down: get up first (G), then ${what}`);
    return false;
  }
  return true;
}

function moveTo(x, y) {
  if (x < 0 || x >= GRID || y < 0 || y >= GRID || !ready('move')) return;
  ui.steps.length = 0;
  if (conn.send(encodeMoveTo({ x, y }))) ui.moveTarget = { x, y, at: now() };
  else note('Too fast: move not sent');
}

const STEPS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

// Where the next step starts: the last move sent while the server has not
// had time to confirm it, so that quick presses add up.
function stepBase() {
  const t = ui.moveTarget;
  return t && now() - t.at < MOVE_SETTLE_MS ? t : world.selfPos;
}

function step(key) {
  if (!ready('step')) return;
  if (ui.steps.length >= MAX_QUEUED_STEPS) {
    note('Too fast: step dropped');
    return;
  }
  ui.steps.push(key);
  pumpSteps();
}

// Sends queued steps as fast as the connection allows.
function pumpSteps() {
  while (ui.steps.length > 0) {
    const base = stepBase();
    if (conn.state !== ConnState.Online || !base) {
      note(`Not connected: ${ui.steps.length} queued step(s) dropped`);
      ui.steps.length = 0;
      return;
    }
    const [dx, dy] = STEPS[ui.steps[0]];
    const x = Math.min(GRID - 1, Math.max(0, base.x + dx));
    const y = Math.min(GRID - 1, Math.max(0, base.y + dy));
    if (x !== base.x || y !== base.y) {
      if (!conn.send(encodeMoveTo({ x, y }))) break;
      ui.moveTarget = { x, y, at: now() };
    }
    ui.steps.shift();
  }
  if (ui.steps.length > 0 && ui.stepTimer === null) {
    ui.stepTimer = setTimeout(() => {
      ui.stepTimer = null;
      pumpSteps();
    }, 1000 / SEND_RATE);
  }
}

function attackSelected() {
  if (!ready('attack')) return;
  const target = world.selectedObject;
  if (!target) {
    note('Select an object to attack first');
    return;
  }
  if (!conn.send(encodeAttack({ toID: target.id, playerType: target.kind, attackType: AttackType.Single }))) {
    note('Too fast: attack not sent');
  }
}

function areaAttack() {
  if (!ready('area attack') || world.selfId === null) return;
  if (!conn.send(encodeAttack({ toID: world.selfId, playerType: Kind.User, attackType: AttackType.Area }))) {
    note('Too fast: area attack not sent');
  }
}

// Entering the scene again resets the user's attributes: 100 hit points,
// on the same cell.
// Only offered when down: at any other time it would be a free heal.
function getUp() {
  if (conn.state !== ConnState.Online) {
    note('Not connected: cannot get up yet');
    return;
  }
  if (!world.down) {
    note('You are not down', 'info');
    return;
  }
  if (!conn.send(encodeEnterScene())) note('Too fast: try again');
}

function select(o) {
  world.selected = o?.key ?? null;
  if (!o) return;
  const me = world.selfPos;
  const d = me ? cellDistance(o, me) : null;
  const away = d === null ? '' : `, ${d} cell${d === 1 ? '' : 's'} away`;
  note(`Selected ${describe(o, world.selfKey)} at (${fmtCell(o)})${away}, hp ${o.hp ?? '?'}`, 'info');
}

// Nearest first; each press goes one further (back with Shift).
function cycleTarget(back) {
  const list = world.targetsByDistance();
  if (list.length === 0) {
    note('Nothing to select', 'info');
    return;
  }
  const at = list.findIndex((o) => o.key === world.selected);
  const next = at < 0 ? (back ? list.length - 1 : 0) : (at + (back ? list.length - 1 : 1)) % list.length;
  select(list[next]);
}

// ---- input

const canvas = $('world');

canvas.addEventListener('click', (ev) => {
  canvas.focus({ preventScroll: true });
  const cell = view.cellAt(ev.clientX, ev.clientY);
  if (!cell) return;
  const here = world.objectsAt(cell.x, cell.y).filter((o) => o.key !== world.selfKey);
  if (here.length > 0) {
    // Repeated clicks on a crowded cell walk through what is in it.
    const at = here.findIndex((o) => o.key === world.selected);
    select(here[(at + 1) % here.length]);
    return;
  }
  const me = world.self;
  if (me && me.x === cell.x && me.y === cell.y) {
    world.selected = null;
    return;
  }
  moveTo(cell.x, cell.y);
});

// The tooltip follows a mouse only: a finger leaves no pointer to follow.
canvas.addEventListener('pointermove', (ev) => {
  if (ev.pointerType !== 'mouse') return;
  ui.hover = view.cellAt(ev.clientX, ev.clientY);
  ui.pointer = { x: ev.offsetX, y: ev.offsetY };
  renderHover();
});
for (const type of ['pointerleave', 'pointerdown']) {
  canvas.addEventListener(type, (ev) => {
    if (type === 'pointerdown' && ev.pointerType === 'mouse') return;
    ui.hover = null;
    renderHover();
  });
}

document.addEventListener('keydown', (ev) => {
  const t = ev.target;
  if (t instanceof HTMLInputElement || ev.ctrlKey || ev.metaKey || ev.altKey) return;
  const key = ev.key.length === 1 ? ev.key.toLowerCase() : ev.key;
  const onBoard = t === canvas;
  if (key === 'a' || (onBoard && (key === 'Enter' || key === ' '))) attackSelected();
  else if (key === 's') areaAttack();
  else if (key === 'n') cycleTarget(ev.shiftKey);
  else if (key === 'g') getUp();
  else if (key === 'Escape') world.selected = null;
  else if (STEPS[key]) step(key);
  else return;
  ev.preventDefault();
});

$('btn-attack').addEventListener('click', attackSelected);
$('btn-area').addEventListener('click', areaAttack);
$('btn-getup').addEventListener('click', getUp);
$('reconnect').addEventListener('click', () => conn.reconnectNow());
$('log-mine').addEventListener('change', () => {
  shownEvent = null;
  renderEvents();
});
for (const b of document.querySelectorAll('#pad button')) b.addEventListener('click', () => step(b.dataset.step));

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

new ResizeObserver(() => view.resize()).observe($('board-box'));
window.addEventListener('pagehide', () => conn.stop());

// ---- side panel

const CONN_LABEL = {
  [ConnState.Matchmaking]: 'finding a world…',
  [ConnState.Connecting]: 'connecting…',
  [ConnState.LoggingIn]: 'logging in…',
  [ConnState.Resuming]: 'reconnecting…',
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
let shownOverlay = '';
let shownDesc = '';

function renderStatus() {
  const t = now();
  const s = conn.snapshot();
  const online = s.state === ConnState.Online;
  document.body.dataset.conn = s.state;
  let label = CONN_LABEL[s.state];
  if (s.state === ConnState.Waiting && s.retryAt !== null) {
    label = `retrying in ${Math.max(0, Math.ceil((s.retryAt - t) / 1000))} s`;
  }
  setText('conn-badge', connBadge(s));
  setText('st-conn', label);
  setText('st-user', s.userId === null ? '—' : String(s.userId));
  setText('st-cell', world.selfPos ? fmtCell(world.selfPos) : '—');
  const me = world.self;
  setText('st-hp', me?.hp == null ? '—' : String(me.hp));
  // Without a connection these are only what the page last heard.
  for (const id of ['st-cell', 'st-hp']) {
    $(id).classList.toggle('stale', !online);
    $(id).title = online ? '' : 'last known: not connected';
  }
  setText('st-objects', String(world.count(Kind.Object)));
  setText('st-players', String(world.count(Kind.User)));
  setText('st-tick', world.lastTickAt === null ? '—'
    : `${((t - world.lastTickAt) / 1000).toFixed(1)} s ago (#${world.ticks})`);
  setText('st-ping', s.rtt === null ? '—' : `${Math.round(s.rtt)} ms`);

  const waiting = s.state === ConnState.Waiting;
  const detail = waiting ? s.detail + (s.badFrames ? ` (${s.badFrames} bad messages dropped)` : '') : '';
  setText('st-detail', detail);
  $('st-detail').title = detail;
  $('reconnect').classList.toggle('invisible', !waiting);
  $('reconnect').disabled = !waiting;

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
  renderDown(online);
  renderLobby(s, label);
  renderTarget();
  renderPlayers();
  renderEvents();
  renderFeedback(t);
  renderDescription(online);
  $('btn-attack').disabled = !online || !world.selectedObject || world.down;
  $('btn-area').disabled = !online || !me || world.down;
  setText('area-range', String(me?.info?.range ?? DEFAULT_RANGE));
  renderHover();
}

const capital = (text) => text[0].toUpperCase() + text.slice(1);

// Between tries to resume the page is still reconnecting: the player is
// held where they were.
function connBadge(s) {
  if (s.state === ConnState.Waiting && s.waitReason === 'full') return 'waiting for a seat';
  if (s.state === ConnState.Waiting && s.resuming) return CONN_LABEL[ConnState.Resuming];
  return CONN_LABEL[s.state];
}

function renderOverlay(s, label) {
  const lines = [];
  if (s.state === ConnState.Matchmaking) lines.push(['Finding a world with room…']);
  else if (s.state === ConnState.Resuming) lines.push([capital(CONN_LABEL[ConnState.Resuming])]);
  else if (s.state === ConnState.Connecting || s.state === ConnState.LoggingIn) {
    lines.push([`Connecting to ${s.world ? `world ${s.world}` : location.host}…`]);
  } else if (s.state === ConnState.Waiting && s.waitReason === 'full') {
    lines.push([`all worlds are full, ${label}`, 'wait']);
  } else if (s.state === ConnState.Waiting) {
    // Between tries to resume, the player is still held where they were.
    lines.push(s.resuming ? [`${capital(CONN_LABEL[ConnState.Resuming])} (${s.detail})`] : [`Disconnected: ${s.detail}.`],
      [`${capital(label)}.`, 'wait']);
    lines.push([ui.dropped > 0
      ? `${ui.dropped} command${ui.dropped === 1 ? ' was' : 's were'} not sent; nothing is queued while disconnected.`
      : 'Nothing is sent until the connection is back.', 'muted']);
  } else if (s.state === ConnState.Refused) lines.push([`${s.detail} Enter a token in the panel on the right.`]);
  else if (s.state === ConnState.Stopped) lines.push(['Disconnected.']);
  const overlay = $('overlay');
  overlay.hidden = lines.length === 0;
  const sig = JSON.stringify(lines);
  if (sig === shownOverlay) return;
  shownOverlay = sig;
  const box = document.createElement('div');
  box.append(...lines.map(([text, cls]) => Object.assign(document.createElement('p'), { textContent: text, className: cls ?? '' })));
  overlay.replaceChildren(...(lines.length ? [box] : []));
}

function renderDown(online) {
  const down = online && world.down;
  const box = $('down');
  if (box.hidden === down) box.hidden = !down;
  if (down) setText('down-why', `You are down: ${world.downCause ?? 'attacks'} took your last hit points.`);
}

// The newest of the player's own events and passing notes, for a while.
function renderFeedback(t) {
  const event = world.mine[0] ?? null;
  let shown = ui.note;
  if (event && (!shown || event.at > shown.at)) shown = event;
  const fresh = shown && t - shown.at < FEEDBACK_MS;
  const el = $('feedback');
  setText('feedback', fresh ? shown.text : '');
  el.className = `feedback ${fresh ? shown.tone : ''}`;
  // Screen readers hear each one once.
  if (fresh) setText('live', shown.text);
}

// What a screen reader says of the board: where the player stands and what
// is nearest.
function renderDescription(online) {
  const me = world.self;
  let text = 'Not in the world yet.';
  if (me) {
    const near = world.targetsByDistance().slice(0, 3)
      .map((o) => `${describe(o, world.selfKey)} at ${fmtCell(o)}, ${cellDistance(o, me)} away`);
    const sel = world.selectedObject;
    text = `You stand at ${fmtCell(me)} with ${me.hp ?? 'unknown'} hit points${world.down ? ', down' : ''}.`
      + (online ? '' : ' Not connected: this is the last known state.')
      + (near.length ? ` Nearest: ${near.join('; ')}.` : '')
      + (sel ? ` Selected: ${describe(sel, world.selfKey)} at ${fmtCell(sel)}, hp ${sel.hp ?? 'unknown'}.` : '');
  }
  if (text === shownDesc) return;
  shownDesc = text;
  setText('board-desc', text);
}

function renderTarget() {
  const o = world.selectedObject;
  let sig = 'none';
  if (o) sig = `${o.key}|${o.x}|${o.y}|${o.hp}`;
  if (sig === shownTarget) return;
  shownTarget = sig;
  const box = $('target');
  if (!o) {
    box.textContent = 'Click an object on the board, or press N, to select it.';
    return;
  }
  const name = document.createElement('strong');
  name.textContent = describe(o, world.selfKey);
  const line = document.createElement('div');
  line.className = 'muted';
  // Only what attacks use: a single attack reaches any distance.
  line.textContent = `cell ${fmtCell(o)} · hp ${o.hp ?? '?'}`;
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
  const events = $('log-mine').checked ? world.mine : world.events;
  if (events[0] === shownEvent) return;
  shownEvent = events[0];
  $('events').replaceChildren(...events.map((e) => {
    const li = document.createElement('li');
    li.className = e.tone + (e.mine ? ' mine' : '');
    const time = document.createElement('time');
    time.textContent = clock(e.at);
    li.append(time, e.text);
    return li;
  }));
}

// ---- lobby (only when the server belongs to a fleet of worlds)

const lobby = { fleet: false, worlds: [], shown: '', lastWorld: null };
const askSeat = makeMatchmaker();

async function refreshLobby() {
  const found = await fetchWorlds();
  lobby.worlds = found.worlds;
  renderStatus();
}

// Asks for a seat only while the list shows one, so that a full fleet is
// waited out without a refusal a minute; the list is refreshed after each
// answer, so that it never shows seats that matchmaking has just taken.
async function matchmake(token) {
  if (conn.waitReason === 'full') await refreshLobby();
  if (allFull(lobby.worlds)) throw new WorldsFull('every world is full');
  try {
    return await askSeat(token);
  } finally {
    refreshLobby();
  }
}

function renderLobby(s, label) {
  if (!lobby.fleet) return;
  const full = s.state === ConnState.Waiting && s.waitReason === 'full';
  let where = 'Matchmaking picks the fullest world with a free seat.';
  if (s.world && s.state === ConnState.Online) where = `You play in world ${s.world}.`;
  else if (full) where = `all worlds are full, ${label}`;
  setText('lobby-world', where);
  const sig = JSON.stringify([lobby.worlds, s.world, s.state]);
  if (sig === lobby.shown) return;
  lobby.shown = sig;
  $('lobby').hidden = false;
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
  const here = world.objectsAt(x, y).map((o) => describe(o, world.selfKey)).join(', ');
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
  view.draw(world, ui, t, conn.state === ConnState.Online);
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
    conn.matchmake = matchmake;
    conn.worldGone = worldGone;
    setInterval(refreshLobby, LOBBY_MS);
  }
  conn.start();
});
