// SPDX-License-Identifier: MIT
// Talking to the exposure service: one function per method, and the one place
// that tells what came back (an error code, a busy reply, no answer at all)
// and picks what to say of it: the key of its sentence in the catalogues
// (text.js), never the words.

import { sameScene } from './state.js';
import { counted } from './text.js';
import { formatNumber } from './numbers.js';

const SCRIPT = 'roadshotwizard.cgi';
const CONTEXT = 'exposure-wizard';
const TIMEOUT_MS = 15000;
const PROBE_TIMEOUT_MS = 5000;

// How the page treats what comes back, as data: the pause before each new
// attempt after a busy reply (one attempt more than pauses), and the key of
// each failure's sentence in the catalogues, by the web server's status or
// the error code (the internal error's by what was asked).
// Written by tools/gen-client-policy from common/client-policy.toml, which
// says what each member means: change that file and run the command, never
// these lines.
export const POLICY = {
  busyStatus: 503,
  busyPausesMs: [250, 500, 1000, 2000, 4000, 4000, 4000, 4000, 4000],
  busyKey: 'stayedBusy',
  internalCode: 1000,
  unknownCode: 'codeUnknown',
  otherStatus: { kind: 'unreadable', key: 'unreadableStatus' },
  statuses: {
    502: { kind: 'service', key: 'noService' },
    504: { kind: 'service', key: 'lateServiceSaid' },
  },
  codes: { 1001: 'code1001', 1002: 'code1002', 1003: 'code1003', 1004: 'code1004' },
  internal: { get: 'getFailed', preview: 'previewFailed', apply: 'applyUnknown' },
  readBack: { stored: 'storedNotTaken', notStored: 'notStored' },
};
// End of what tools/gen-client-policy writes.

// A failed request: `kind` is 'error' (an error reply with `code`), 'busy'
// (still busy after every attempt), 'server' (the web server does not
// answer, or the connection to it broke), 'service' (the web server says
// the exposure service behind it does not answer, or it did not in time)
// or 'unreadable'; `said` is what to tell of it, a {key, values} or a list
// of them (text.js's say()); the message is its key, for a console.
export class ApiError extends Error {
  constructor(kind, said, code = null) {
    super([said].flat().map((s) => s.key).join(' '));
    this.kind = kind;
    this.said = said;
    this.code = code;
  }
}

// The failures that may pass by themselves, so are worth asking again.
export function passing(error) {
  return error instanceof ApiError && ['busy', 'server', 'service'].includes(error.kind);
}

// What to say of an error reply. What an internal error means depends on
// what was asked: reading the stored scene, previewing, or applying.
export function sentenceForCode(code, what) {
  if (code === POLICY.internalCode) return { key: POLICY.internal[what] ?? POLICY.internal.preview };
  const key = POLICY.codes[code];
  return key ? { key } : { key: POLICY.unknownCode, values: { code: () => formatNumber(Number(code), 0) } };
}

export function sentenceForBusy(pauseMs) {
  const seconds = pauseMs / 1000;
  return { key: 'busy', values: { seconds: () => counted(seconds, formatNumber(seconds, 1, 1), 1) } };
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
    if (!await serverAnswers()) throw new ApiError('server', { key: 'noServer' });
    if (late) throw new ApiError('service', { key: 'lateService' });
    throw new ApiError('server', { key: 'connectionCut' });
  }
  clearTimeout(timer);
  if (response.status === POLICY.busyStatus) return { busy: true };
  const said = POLICY.statuses[response.status];
  if (said) throw new ApiError(said.kind, { key: said.key });
  let reply = null;
  try {
    reply = JSON.parse(text);
  } catch {
    reply = null;
  }
  if (!response.ok || reply === null || typeof reply !== 'object') {
    const status = () => formatNumber(response.status, 0);
    throw new ApiError(POLICY.otherStatus.kind, { key: POLICY.otherStatus.key, values: { status } });
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
        throw new ApiError('unreadable', { key: 'unreadable' });
      }
      return reply.data;
    }
    if (attempt >= POLICY.busyPausesMs.length) {
      throw new ApiError('busy', { key: POLICY.busyKey });
    }
    const pause = POLICY.busyPausesMs[attempt];
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
    if (e instanceof ApiError && e.kind === 'error' && e.code === POLICY.internalCode) {
      let data;
      try {
        data = await get(onBusy);
      } catch {
        throw e;
      }
      const stored = sameScene(data, scene);
      const key = POLICY.readBack[stored ? 'stored' : 'notStored'];
      const told = new ApiError('error', { key }, POLICY.internalCode);
      told.stored = stored;
      throw told;
    }
    if (e instanceof ApiError && (e.kind === 'server' || e.kind === 'service')) {
      throw new ApiError(e.kind, [e.said, { key: 'mayStillApply' }].flat());
    }
    throw e;
  }
}
