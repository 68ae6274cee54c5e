// The game subset corvane-bot drives, written the plain Node way on `ws`:
// login (any token), enter, move, attack, chat, and the 1 s tick that moves
// 100 patrolling objects and sends everyone PoseList and ObjInfoList. It
// exists to be measured beside corvane-host: one process, the library's
// normal send; with --deflate, the library's own permessage-deflate as a
// Node developer turns it on (a compressor per connection).
//
// Usage: node bench/peer/server.js [--port 7790] [--host 127.0.0.1] [--max-users 155] [--deflate]
import { WebSocketServer } from 'ws';
import * as P from './protocol.js';

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  return at > 0 && at + 1 < process.argv.length ? process.argv[at + 1] : fallback;
}
const port = Number(option('--port', 7790));
const host = option('--host', '127.0.0.1');
const maxUsers = Number(option('--max-users', 155));
const deflate = process.argv.includes('--deflate');

const GRID = 100;
const defaults = () => ({ attr1: 5, hp: 100, attr2: 10, attr3: 10, range: 8 });

// Every object on the grid: 100 patrolling objects (kind 1), then the users
// who entered (kind 0).
const npcs = [];
for (let row = 0; row < 10; row++) {
  for (let col = 0; col < 10; col++) {
    npcs.push({ id: npcs.length + 1, kind: 1, x: col * 10, y: row * 10, step: 0, ...defaults() });
  }
}
const players = new Map(); // userId -> { ws, id, kind, x, y, ... } once entered
let online = 0;
let nextUserId = 1;

const everything = () => [...npcs, ...players.values()];

function broadcast(message) {
  for (const p of players.values()) p.ws.send(message);
}

function onGameMessage(ws, user, cmd, body) {
  switch (cmd) {
    case P.ENTER_SCENE: {
      let p = players.get(user.id);
      if (!p) {
        p = { ws, id: user.id, kind: 0, x: 20, y: 20 };
        players.set(user.id, p);
      }
      Object.assign(p, defaults());
      ws.send(P.enterSceneAck(0, p.x, p.y));
      break;
    }
    case P.MOVE_TO: {
      if (body.length < 4) return;
      const x = body.readInt16LE(0);
      const y = body.readInt16LE(2);
      const p = players.get(user.id);
      if (p && x >= 0 && x < GRID && y >= 0 && y < GRID) {
        p.x = x;
        p.y = y;
      }
      broadcast(P.poseList(everything()));
      break;
    }
    case P.ATTACK: {
      if (body.length < 9) return;
      const toId = body.readUInt32LE(0);
      const kind = body.readUInt8(4);
      const attackType = body.readInt32LE(5);
      const me = players.get(user.id);
      let hit = [];
      if (attackType === P.AREA_ATTACK) {
        if (me) hit = everything().filter((o) => Math.abs(o.x - me.x) <= me.range && Math.abs(o.y - me.y) <= me.range);
      } else {
        hit = everything().filter((o) => o.id === toId && o.kind === kind);
      }
      for (const o of hit) o.hp = Math.max(0, o.hp - 10);
      broadcast(P.attackNotify(user.id, attackType, hit));
      break;
    }
    default:
      break; // chat and anything else: accepted, no answer
  }
}

const wss = new WebSocketServer({ host, port, path: '/ws', perMessageDeflate: deflate });

wss.on('connection', (ws) => {
  const user = { id: 0 };
  const loginTimer = setTimeout(() => ws.close(1008), 10000);
  ws.on('message', (data, isBinary) => {
    if (!isBinary) return ws.close(1003);
    if (data.length < 4) return;
    const module = data.readUInt16LE(0);
    const cmd = data.readUInt16LE(2);
    const body = data.subarray(4);
    if (user.id === 0) {
      if (module !== P.HOST_MODULE || cmd !== P.LOGIN) return ws.close(1008);
      clearTimeout(loginTimer);
      if (online >= maxUsers) {
        ws.send(P.loginAck(2, 0));
        return ws.close(1013);
      }
      online++;
      user.id = nextUserId++;
      ws.send(P.loginAck(0, user.id));
      return;
    }
    if (module === P.HOST_MODULE && cmd === P.PING) ws.send(P.pong(body));
    else if (module === P.GAME_MODULE) onGameMessage(ws, user, cmd, body);
  });
  ws.on('close', () => {
    clearTimeout(loginTimer);
    if (user.id !== 0) {
      online--;
      players.delete(user.id);
    }
  });
  ws.on('error', () => {});
});

setInterval(() => {
  for (const n of npcs) {
    const [dx, dy] = [[1, 0], [0, 1], [-1, 0], [0, -1]][n.step];
    n.x += dx;
    n.y += dy;
    n.step = (n.step + 1) % 4;
  }
  if (players.size === 0) return;
  const all = everything();
  broadcast(P.poseList(all));
  broadcast(P.objInfoList(all));
}, 1000);

wss.on('listening', () => console.log(`peer listening on ws://${host}:${port}/ws`));
wss.on('error', (err) => {
  console.error(`peer: ${err.message}`);
  process.exit(2);
});
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    for (const ws of wss.clients) ws.close(1001);
    process.exit(0);
  });
}
