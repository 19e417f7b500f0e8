// SPDX-License-Identifier: MIT
// Talking to the exposure service: one function per method, and the one place
// that tells what came back (an error code, a busy reply, no answer at all)
// and picks its sentence (text.js) for the person at the page.

import { sameScene } from './state.js';
import { TEXT } from './text.js';

const SCRIPT = 'roadshotwizard.cgi';
const CONTEXT = 'exposure-wizard';
const TIMEOUT_MS = 15000;
const PROBE_TIMEOUT_MS = 5000;
// Pauses before each new attempt after a busy reply; the last one repeats.
const BUSY_PAUSES_MS = [250, 500, 1000, 2000, 4000];
const BUSY_ATTEMPTS = 10;

// A failed request: `kind` is 'error' (an error reply with `code`), 'busy'
// (still busy after every attempt), 'server' (the web server does not
// answer, or the connection to it broke), 'service' (the web server says
// the exposure service behind it does not answer, or it did not in time)
// or 'unreadable'; `message` is the sentence to show.
export class ApiError extends Error {
  constructor(kind, message, code = null) {
    super(message);
    this.kind = kind;
    this.code = code;
  }
}

// The failures that may pass by themselves, so are worth asking again.
export function passing(error) {
  return error instanceof ApiError && ['busy', 'server', 'service'].includes(error.kind);
}

const ERROR_SENTENCES = { 1001: TEXT.code1001, 1002: TEXT.code1002, 1003: TEXT.code1003, 1004: TEXT.code1004 };

// The sentence for an error reply. What an internal error means depends on
// what was asked: reading the stored scene, previewing, or applying.
export function sentenceForCode(code, what) {
  if (code === 1000) return { apply: TEXT.applyUnknown, get: TEXT.getFailed }[what] ?? TEXT.previewFailed;
  return ERROR_SENTENCES[code] ?? TEXT.codeUnknown({ code: Number(code) });
}

export function sentenceForBusy(pauseMs) {
  return TEXT.busy({ seconds: (pauseMs / 1000).toFixed(1) });
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Whether the web server serves a file of the page itself: it tells a web
// server that does not answer from a service behind it that does not.
async function serverAnswers() {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), PROBE_TIMEOUT_MS);
  try {
    const response = await fetch('index.html', { method: 'HEAD', cache: 'no-store', signal: abort.signal });
    return response.ok;
  } catch {
    return false;
  } finally {
    clearTimeout(timer);
  }
}

// One HTTP exchange. Returns {busy: true} on a 503, the parsed reply
// otherwise; throws ApiError when nothing usable came back.
async function exchange(body) {
  const abort = new AbortController();
  let late = false;
  const timer = setTimeout(() => {
    late = true;
    abort.abort();
  }, TIMEOUT_MS);
  let response;
  let text;
  try {
    response = await fetch(SCRIPT, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body,
      cache: 'no-store',
      signal: abort.signal,
    });
    text = await response.text();
  } catch {
    clearTimeout(timer);
    // No reply at all: the web server is gone, or it is there and the
    // connection broke (a reset, a service that ended mid-request), or the
    // service it handed the request to took too long. Only the web server's
    // own 502 and 504 blame the service.
    if (!await serverAnswers()) throw new ApiError('server', TEXT.noServer);
    if (late) throw new ApiError('service', TEXT.lateService);
    throw new ApiError('server', TEXT.connectionCut);
  }
  clearTimeout(timer);
  if (response.status === 503) return { busy: true };
  if (response.status === 502) throw new ApiError('service', TEXT.noService);
  if (response.status === 504) throw new ApiError('service', TEXT.lateServiceSaid);
  let reply = null;
  try {
    reply = JSON.parse(text);
  } catch {
    reply = null;
  }
  if (!response.ok || reply === null || typeof reply !== 'object') {
    throw new ApiError('unreadable', TEXT.unreadableStatus({ status: response.status }));
  }
  return reply;
}

// Sends one request, retrying busy replies with a growing pause; onBusy(ms)
// is told before each pause. Returns the reply's "data"; throws ApiError.
async function call(method, params, what, onBusy) {
  const request = { apiVersion: '1.0', context: CONTEXT, method };
  if (params) request.params = params;
  const body = JSON.stringify(request);
  for (let attempt = 0; ; attempt++) {
    const reply = await exchange(body);
    if (!reply.busy) {
      if (reply.error) throw new ApiError('error', sentenceForCode(reply.error.code, what), reply.error.code);
      if (!reply.data || typeof reply.data !== 'object') {
        throw new ApiError('unreadable', TEXT.unreadable);
      }
      return reply.data;
    }
    if (attempt + 1 >= BUSY_ATTEMPTS) {
      throw new ApiError('busy', TEXT.stayedBusy);
    }
    const pause = BUSY_PAUSES_MS[Math.min(attempt, BUSY_PAUSES_MS.length - 1)];
    onBusy?.(pause);
    await sleep(pause);
  }
}

// The stored scene and the interval of each value.
export function get(onBusy) {
  return call('get', null, 'get', onBusy);
}

// The camera settings for a scene; with apply, the scene is also stored and
// the settings sent to the camera.
export function set(scene, apply, onBusy) {
  const params = {
    apply,
    roadOffset: scene.roadOffset,
    carDistance: scene.carDistance,
    cameraHeight: scene.cameraHeight,
    carSpeed: scene.carSpeed,
  };
  return call('set', params, apply ? 'apply' : 'preview', onBusy);
}

// Applies a scene. When the daemon reports an internal error, asks for the
// stored scene to tell a scene that was stored but that the camera did not
// take (the error's `stored` is then true) from one that was not stored;
// when no answer came, says that the apply may still take effect.
export async function apply(scene, onBusy) {
  try {
    return await set(scene, true, onBusy);
  } catch (e) {
    if (e instanceof ApiError && e.kind === 'error' && e.code === 1000) {
      let data;
      try {
        data = await get(onBusy);
      } catch {
        throw e;
      }
      const stored = sameScene(data, scene);
      const told = new ApiError('error', stored ? TEXT.storedNotTaken : TEXT.notStored, 1000);
      told.stored = stored;
      throw told;
    }
    if (e instanceof ApiError && (e.kind === 'server' || e.kind === 'service')) {
      throw new ApiError(e.kind, `${e.message} ${TEXT.mayStillApply}`);
    }
    throw e;
  }
}
