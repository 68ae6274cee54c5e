// The game connection: one WebSocket to the host, the login on it, pings,
// and reconnection with backoff when it drops. A reconnection first resumes
// the login it had (same user, nothing lost: the host keeps a dropped user
// for a while and sends what it missed); only when the host refuses does it
// log in afresh. In a fleet of worlds every fresh login starts with
// matchmaking: it names the world's URL and the seat that is the login
// token there; a resume goes back to the world it had.
import {
  HostMsg, HOST_MODULE, LoginCode, RESUME_TOKEN_BYTES, ResumeCode, decodeMessage, encodeLogin, encodeLogout,
  encodePing, encodeResume, isModuleFrame, pingBody, pongSeq,
} from './codec.js';

export const ConnState = Object.freeze({
  Matchmaking: 'matchmaking', Connecting: 'connecting', LoggingIn: 'logging-in', Resuming: 'resuming', Online: 'online',
  Waiting: 'waiting', Refused: 'refused', Stopped: 'stopped',
});

export const FIRST_RETRY_MS = 1000;
export const MAX_RETRY_MS = 30000;
export const PING_MS = 2000;
// The server ticks once a second and answers pings; this long without a byte
// means the connection is dead even if the socket has not noticed.
export const SILENCE_MS = 10000;
// Kept below the host's per-connection limits (30 a second, 60 at once) so
// that a burst of clicks or held-down keys never gets the page disconnected.
export const SEND_RATE = 20;
export const SEND_BURST = 40;
// While waiting to reconnect the page asks the server's /healthz this often;
// once it answers, the wait is cut to at most HEALTHY_RETRY_MS.
export const PROBE_MS = 1000;
export const HEALTHY_RETRY_MS = 1500;
// Every world of the fleet is full: the first retry waits this long, the
// next ones back off as usual.
export const FULL_RETRY_MS = 4000;
// The first try to resume comes within this long of the drop: the host
// keeps the user only for a while (15 s unless configured otherwise).
export const RESUME_FIRST_MS = 500;
// A draining world sent the page away: on its own (no fleet) the page logs
// in again at the same address after this long, where a new host is
// expected. A second such notice within DRAIN_REPEAT_MS is waited out like
// any refusal, so that a world that keeps draining cannot spin the page.
export const DRAIN_RECONNECT_MS = 1000;
export const DRAIN_REPEAT_MS = 5000;
// How a draining host closes its game connections.
const CLOSE_GOING_AWAY = 1001;
const DRAINING_REASON = 'draining';

const CLOSE_TEXT = {
  1000: 'closed', 1001: 'server going away', 1003: 'server refused a text message', 1006: 'connection lost',
  1008: 'closed by the server (policy)', 1009: 'message too big', 1011: 'server error',
  1013: 'server busy, try again later',
};

const REFUSAL_TEXT = {
  [LoginCode.Unauthorized]: 'Login refused: the token was not accepted.',
  [LoginCode.ServerFull]: 'Login refused: the server is full.',
  [LoginCode.MalformedLogin]: 'Login refused: the login message was malformed.',
  [LoginCode.AlreadyLoggedIn]: 'Login refused: already logged in.',
};

// Closes after which the host no longer keeps the user for a resume:
// another connection took it over, or the world drained.
const SESSION_OVER = new Set(['1008 resumed_elsewhere', '1001 draining']);

// Refusals that another try with the same token cannot fix.
const FINAL_REFUSALS = new Set([LoginCode.Unauthorized, LoginCode.MalformedLogin]);

// Doubles from one second up to thirty, with +-20 % jitter so that many
// pages dropped at once do not all come back in the same instant.
export function retryDelay(attempt, random = Math.random) {
  const base = Math.min(MAX_RETRY_MS, FIRST_RETRY_MS * 2 ** Math.min(attempt, 16));
  return Math.round(base * (0.8 + 0.4 * random()));
}

const browserClock = {
  now: () => performance.now(),
  setTimeout: (f, ms) => setTimeout(f, ms),
  clearTimeout: (t) => clearTimeout(t),
  setInterval: (f, ms) => setInterval(f, ms),
  clearInterval: (t) => clearInterval(t),
};

// Thrown by a matchmaker when the player's token is not accepted: another
// try cannot help until the token changes.
export class MatchmakingRefused extends Error {}

// Thrown by a matchmaker when every world is full: worth another try, later.
export class WorldsFull extends Error {}

const browserProbe = () => fetch('/healthz', { cache: 'no-store' }).then((res) => res.ok, () => false);

export class Connection {
  // `matchmake(token)`, when given, resolves to {world, url, seat} before
  // each fresh login, or rejects (MatchmakingRefused to stop the retries).
  // `worldGone(world)`, in a fleet, resolves to true when the fleet no
  // longer lists that world: a resume there is then given up.
  // `onResumeRefused(code)`: the host no longer had the user; a fresh login
  // follows.
  constructor({
    url, token = '', matchmake = null, worldGone = null, WebSocketImpl = globalThis.WebSocket, clock = browserClock,
    random = Math.random, probe = browserProbe, onState = () => {}, onLogin = () => {}, onMessage = () => {},
    onResumeRefused = () => {},
  }) {
    Object.assign(this, {
      url, token, matchmake, worldGone, WebSocketImpl, clock, random, probe, onState, onLogin, onMessage,
      onResumeRefused,
    });
    this.world = null;
    this.loginToken = token;
    // Bumped by every drop, so that a matchmaking answer that arrives after
    // the page has moved on is ignored.
    this.generation = 0;
    this.ws = null;
    this.state = ConnState.Stopped;
    this.detail = '';
    this.attempt = 0;
    this.retryAt = null;
    this.retryTimer = null;
    this.probeTimer = null;
    // Why the page waits: 'lost' (the server or the way to it), 'full'
    // (every world of the fleet), 'unavailable' (matchmaking failed), or
    // 'refused' (a login refusal worth another try). Only a lost server is
    // watched through /healthz: the others answer it while they refuse.
    this.waitReason = null;
    this.pingTimer = null;
    this.userId = null;
    this.rtt = null;
    this.pings = new Map();
    this.pingSeq = 0;
    this.lastRecvAt = 0;
    this.badFrames = 0;
    this.refusal = null;
    this.tokens = SEND_BURST;
    this.tokensAt = 0;
    // The login the next connection resumes: {token (null until the host
    // sends one, and once used), frames (module messages received since
    // the login), url, world, failures (tries in a row that ended before
    // the host answered)}; null when there is none to resume.
    this.session = null;
    this.socketUrl = null;
    // When a draining world last sent the page away, and whether the login
    // being made follows such a notice (for the page's own wording).
    this.drainedAt = null;
    this.leftDraining = false;
  }

  snapshot() {
    const { state, detail, retryAt, userId, rtt, badFrames, world, waitReason } = this;
    return { state, detail, retryAt, userId, rtt, badFrames, world, waitReason, resuming: this.canResume() };
  }

  canResume() { return this.session !== null && this.session.token !== null; }

  setState(state, detail = '') {
    this.state = state;
    this.detail = detail;
    this.onState(this.snapshot());
  }

  start() {
    this.clearRetry();
    this.open();
  }

  // A new login token: what was logged in with the old one is not resumed.
  setToken(token) {
    this.token = token;
    this.session = null;
  }

  // Gives up the current socket or pending retry and connects at once.
  reconnectNow() {
    this.attempt = 0;
    this.drop();
    this.start();
  }

  stop() {
    if (this.state === ConnState.Online) this.sendRaw(encodeLogout());
    this.session = null;
    this.clearRetry();
    this.drop();
    this.setState(ConnState.Stopped);
  }

  open() {
    this.refusal = null;
    this.rtt = null;
    if (this.canResume()) {
      this.openResume();
      return;
    }
    this.session = null;
    this.userId = null;
    if (this.matchmake) this.openMatched();
    else this.openSocket(this.url, this.token);
  }

  // Back to the world the login was in. In a fleet, once a try there has
  // failed to connect, the fleet's list says whether the world is still
  // there; if not, the page matchmakes and logs in afresh.
  async openResume() {
    const { url, world, failures } = this.session;
    if (this.worldGone && failures > 0) {
      const generation = this.generation;
      this.setState(ConnState.Resuming);
      const gone = await this.worldGone(world).catch(() => false);
      if (generation !== this.generation) return;
      if (gone) {
        this.session = null;
        this.open();
        return;
      }
    }
    this.world = world;
    this.openSocket(url, null);
  }

  async openMatched() {
    const generation = this.generation;
    this.world = null;
    this.setState(ConnState.Matchmaking);
    let seat;
    try {
      seat = await this.matchmake(this.token);
    } catch (e) {
      if (generation !== this.generation) return;
      if (e instanceof MatchmakingRefused) this.setState(ConnState.Refused, e.message);
      else if (e instanceof WorldsFull) this.scheduleRetry('all worlds are full', 'full');
      else this.scheduleRetry(`no seat: ${e.message}`, 'unavailable');
      return;
    }
    if (generation !== this.generation) return;
    this.world = seat.world;
    this.openSocket(seat.url, seat.seat);
  }

  // A null token: the socket resumes the session instead of logging in.
  openSocket(url, token) {
    this.loginToken = token;
    this.socketUrl = url;
    let ws;
    try {
      ws = new this.WebSocketImpl(url);
    } catch (e) {
      this.scheduleRetry(`cannot connect: ${e.message}`);
      return;
    }
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    // Events of a socket that has since been replaced are ignored.
    ws.onopen = () => { if (this.ws === ws) this.handleOpen(); };
    ws.onmessage = (ev) => { if (this.ws === ws) this.handleData(ev.data); };
    ws.onclose = (ev) => { if (this.ws === ws) this.handleClose(ev); };
    this.setState(token === null ? ConnState.Resuming : ConnState.Connecting, url);
  }

  // Detaches and closes the socket without waiting for its close event.
  drop() {
    this.generation++;
    this.stopPinging();
    const ws = this.ws;
    this.ws = null;
    if (!ws) return;
    ws.onopen = ws.onmessage = ws.onclose = null;
    try { ws.close(1000); } catch { /* already closing */ }
  }

  handleOpen() {
    this.lastRecvAt = this.clock.now();
    if (this.loginToken === null) {
      this.session.failures = 0;
      this.sendRaw(encodeResume(this.session.token, this.session.frames));
      return;
    }
    this.sendRaw(encodeLogin(this.loginToken));
    this.setState(ConnState.LoggingIn);
  }

  handleData(data) {
    this.lastRecvAt = this.clock.now();
    // Counted before decoding: the host counts what it sends, readable or not.
    if (this.session !== null && isModuleFrame(data)) this.session.frames = (this.session.frames + 1) >>> 0;
    const msg = decodeMessage(data);
    if (msg.type === 'Malformed') {
      this.badFrames++;
      console.warn(`corvane: dropped a malformed message (${msg.name ?? 'frame'}): ${msg.error}`);
      return;
    }
    if (msg.module === HOST_MODULE && msg.num === HostMsg.LoginAck) {
      this.handleLoginAck(msg);
    } else if (msg.module === HOST_MODULE && msg.num === HostMsg.Pong) {
      this.handlePong(msg);
    } else if (msg.module === HOST_MODULE && msg.num === HostMsg.ResumeToken) {
      if (this.session !== null && msg.token.length === RESUME_TOKEN_BYTES) this.session.token = msg.token;
    } else if (msg.module === HOST_MODULE && msg.num === HostMsg.ResumeAck) {
      this.handleResumeAck(msg);
    } else if (this.state === ConnState.Online) {
      try {
        this.onMessage(msg);
      } catch (e) {
        console.error('corvane: message handler failed', e);
      }
    }
  }

  handleLoginAck({ code, userId }) {
    if (code === LoginCode.Ok) {
      this.attempt = 0;
      this.waitReason = null;
      this.userId = userId;
      this.session = { token: null, frames: 0, url: this.socketUrl, world: this.world, failures: 0 };
      this.startPinging();
      this.setState(ConnState.Online);
      this.onLogin(userId);
      this.leftDraining = false;
      return;
    }
    if (code === LoginCode.Draining) {
      this.leaveDrainingWorld();
      return;
    }
    this.refusal = code;
    const text = REFUSAL_TEXT[code] ?? `Login refused (code ${code}).`;
    // A refused seat (used, expired) is no reason to stop: matchmaking
    // issues a new one.
    if (FINAL_REFUSALS.has(code) && !(this.matchmake && code === LoginCode.Unauthorized)) {
      this.drop();
      this.setState(ConnState.Refused, code === LoginCode.Unauthorized && this.token === ''
        ? 'This server asks for a token.' : text);
      return;
    }
    this.drop();
    this.scheduleRetry(text, 'refused');
  }

  // Resumed: the same user, where it was; what it missed follows. Refused:
  // the user is gone, so the page logs in afresh at once (in a fleet,
  // through matchmaking), without waiting for the host's close.
  handleResumeAck({ code, userId }) {
    if (this.loginToken !== null || this.session === null) return;
    if (code === ResumeCode.Ok) {
      this.attempt = 0;
      this.waitReason = null;
      this.userId = userId;
      // Used up: the host sends the next one.
      this.session.token = null;
      this.startPinging();
      this.setState(ConnState.Online);
      return;
    }
    this.session = null;
    this.drop();
    this.onResumeRefused(code);
    this.open();
  }

  handlePong({ body }) {
    const seq = pongSeq(body);
    const sentAt = this.pings.get(seq);
    if (sentAt === undefined) return;
    this.pings.delete(seq);
    this.rtt = this.clock.now() - sentAt;
    this.onState(this.snapshot());
  }

  handleClose(ev) {
    if (ev.code === CLOSE_GOING_AWAY && ev.reason === DRAINING_REASON) {
      this.leaveDrainingWorld();
      return;
    }
    const resumeFailed = this.loginToken === null && this.state === ConnState.Resuming;
    this.drop();
    if (this.session !== null && SESSION_OVER.has(`${ev.code} ${ev.reason}`)) this.session = null;
    else if (resumeFailed) this.session.failures++;
    const why = CLOSE_TEXT[ev.code] ?? `closed (${ev.code})`;
    this.scheduleRetry(ev.reason ? `${why}: ${ev.reason}` : why);
  }

  // A draining world (its host is stopping) sends its players away with
  // LoginAck 5 or close 1001 "draining". That is no error and shows none: in
  // a fleet the page matchmakes into another world at once; on its own it
  // shows "connecting" and logs in again at the same address shortly.
  leaveDrainingWorld() {
    const now = this.clock.now();
    const repeated = this.drainedAt !== null && now - this.drainedAt < DRAIN_REPEAT_MS;
    this.drainedAt = now;
    this.drop();
    // The world is going away: nothing there to resume.
    this.session = null;
    if (repeated) {
      this.scheduleRetry('the world is shutting down', 'refused');
      return;
    }
    this.leftDraining = true;
    this.attempt = 0;
    this.waitReason = null;
    this.clearRetry();
    if (this.matchmake) {
      this.open();
      return;
    }
    this.setState(ConnState.Connecting, this.url);
    this.retryTimer = this.clock.setTimeout(() => {
      this.clearRetry();
      this.open();
    }, DRAIN_RECONNECT_MS);
  }

  scheduleRetry(why, reason = 'lost') {
    this.clearRetry();
    const attempt = this.attempt++;
    let delay = attempt === 0 && this.canResume()
      ? Math.round(RESUME_FIRST_MS * this.random()) : retryDelay(attempt, this.random);
    if (reason === 'full') delay = Math.max(delay, FULL_RETRY_MS);
    this.waitReason = reason;
    this.setRetry(delay);
    // A lost server is watched: when it answers again the page need not
    // sit out the rest of a long wait.
    if (reason === 'lost') {
      this.probeTimer = this.clock.setInterval(() => this.probeHealth(), PROBE_MS);
    }
    this.setState(ConnState.Waiting, why);
  }

  setRetry(delay) {
    if (this.retryTimer !== null) this.clock.clearTimeout(this.retryTimer);
    this.retryAt = this.clock.now() + delay;
    this.retryTimer = this.clock.setTimeout(() => {
      this.clearRetry();
      this.open();
    }, delay);
  }

  async probeHealth() {
    const generation = this.generation;
    const up = await this.probe();
    if (!up || generation !== this.generation || this.retryTimer === null) return;
    if (this.retryAt - this.clock.now() > HEALTHY_RETRY_MS) {
      this.setRetry(Math.round(HEALTHY_RETRY_MS * (0.5 + 0.5 * this.random())));
      this.onState(this.snapshot());
    }
  }

  clearRetry() {
    if (this.retryTimer !== null) this.clock.clearTimeout(this.retryTimer);
    if (this.probeTimer !== null) this.clock.clearInterval(this.probeTimer);
    this.retryTimer = null;
    this.probeTimer = null;
    this.retryAt = null;
  }

  startPinging() {
    this.stopPinging();
    this.ping();
    this.pingTimer = this.clock.setInterval(() => {
      if (this.clock.now() - this.lastRecvAt > SILENCE_MS) {
        this.drop();
        this.scheduleRetry('no answer from the server');
        return;
      }
      this.ping();
    }, PING_MS);
  }

  stopPinging() {
    if (this.pingTimer !== null) this.clock.clearInterval(this.pingTimer);
    this.pingTimer = null;
    this.pings.clear();
  }

  ping() {
    const seq = this.pingSeq = (this.pingSeq + 1) >>> 0;
    this.pings.set(seq, this.clock.now());
    // Pongs that never come must not pile up.
    if (this.pings.size > 8) this.pings.delete(this.pings.keys().next().value);
    this.sendRaw(encodePing(pingBody(seq)));
  }

  sendRaw(bytes) {
    if (!this.ws || this.ws.readyState !== 1) return false;
    this.ws.send(bytes);
    return true;
  }

  // Sends a game message; false when offline or when the page is sending
  // faster than the host allows.
  send(bytes) {
    if (this.state !== ConnState.Online) return false;
    const now = this.clock.now();
    this.tokens = Math.min(SEND_BURST, this.tokens + ((now - this.tokensAt) / 1000) * SEND_RATE);
    this.tokensAt = now;
    if (this.tokens < 1) return false;
    this.tokens -= 1;
    return this.sendRaw(bytes);
  }
}
