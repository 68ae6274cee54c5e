// The fleet's side of the page: whether the server belongs to a fleet of
// worlds, the list of worlds, and matchmaking for a seat.
import { MatchmakingRefused, WorldsFull } from './net.js';

const browserFetch = (...args) => fetch(...args);

const isJson = (res) => (res.headers.get('content-type') ?? '').startsWith('application/json');

// {fleet, worlds}: fleet is false when the server is a world on its own (it
// answers /worlds with no content, or not at all). A fleet whose registry is
// unreachable answers JSON too, with no worlds.
export async function fetchWorlds(fetchImpl = browserFetch) {
  let res;
  try {
    res = await fetchImpl('/worlds', { cache: 'no-store' });
  } catch {
    return { fleet: false, worlds: [] };
  }
  if (res.status === 204 || !isJson(res)) return { fleet: false, worlds: [] };
  const body = await res.json().catch(() => null);
  return { fleet: true, worlds: Array.isArray(body) ? body.filter((w) => w && typeof w.name === 'string') : [] };
}

// Seats still to be had in a world.
export const freeSeats = (w) => Math.max(0, (w.maxUsers ?? 0) - (w.users ?? 0) - (w.reserved ?? 0));

// A function that asks for a seat, sending the player's token (if any) as
// a bearer token; it resolves to {world, url, seat}.
export function makeMatchmaker(fetchImpl = browserFetch) {
  return async (token) => {
    const headers = token ? { Authorization: `Bearer ${token}` } : {};
    let res;
    try {
      res = await fetchImpl('/matchmake', { method: 'POST', headers, cache: 'no-store' });
    } catch {
      throw new Error('the server cannot be reached');
    }
    const body = await res.json().catch(() => ({}));
    if (res.status === 401) {
      throw new MatchmakingRefused(token ? 'Login refused: the token was not accepted.' : 'This server asks for a token.');
    }
    if (res.status === 503 && /full/.test(body.error ?? '')) throw new WorldsFull(body.error);
    if (!res.ok || typeof body.url !== 'string' || typeof body.seat !== 'string') {
      throw new Error(typeof body.error === 'string' ? body.error : `matchmaking answered ${res.status}`);
    }
    return { world: String(body.world ?? ''), url: body.url, seat: body.seat };
  };
}

// Whether a list of worlds leaves no seat to ask for (an empty list says
// nothing: the registry may be out of reach).
export const allFull = (worlds) => worlds.length > 0 && worlds.every((w) => freeSeats(w) === 0);

// Whether the fleet, reachable, no longer lists the world (an unreachable
// list or registry says nothing).
export async function worldGone(name, fetchImpl = browserFetch) {
  const found = await fetchWorlds(fetchImpl);
  return found.fleet && found.worlds.length > 0 && !found.worlds.some((w) => w.name === name);
}
