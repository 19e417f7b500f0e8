// SPDX-License-Identifier: MIT
// Which request the page sends next, worked out from the state alone: at
// most one at a time; a load before a queued apply before a preview of the
// fields before a check of the stored scene before the stored scene's own
// settings before the plot's points; no preview while a person is still
// typing, no plot point until the settings hold still; and failures that
// may pass asked again after growing pauses. The page's wiring does the
// sending and wakes the scheduler when it asks to be looked at again.

import { geometryKey, sameScene } from './state.js';
import { nextCurveSpeed } from './plot.js';

// How long the typing pauses before the fields are previewed, and the
// settings hold still before the plot's points are asked for.
export const DEBOUNCE_MS = 250;
export const SETTLE_MS = 600;
// How often an idle, visible page asks whether the stored scene changed.
export const CHECK_MS = 20000;
// Pauses before asking again while the web server or the service does not
// answer; the last one repeats until the page gives up, ten minutes after
// the first failure, and leaves it to the Retry button.
const RECOVERY_PAUSES_MS = [1000, 2000, 4000, 8000, 15000, 30000];
const GIVE_UP_MS = 10 * 60 * 1000;

// The camera's answers for the geometry of `scene`.
export function plotted(state, scene) {
  return state.plot.geometry === geometryKey(scene) ? state.plot.points : [];
}

// The plot's next speed for `scene`, or undefined when the curve is whole.
export function nextPlotSpeed(state, scene) {
  return nextCurveSpeed(scene, plotted(state, scene), state.intervals.carSpeed);
}

// The schedule with what failed wanted again: the stored scene when it was
// the load or there is none yet, the check (which then asks again for the
// stored scene's settings) or the preview. A failed apply is never repeated
// from here.
export function askAgain(state, schedule, now) {
  const what = state.failure?.retry;
  if (what === 'load' || !state.intervals) return { ...schedule, load: true };
  if (what === 'check' || what === 'stored') return { ...schedule, check: true };
  if (what === 'preview') return { ...schedule, previewAt: now };
  return schedule;
}

// The schedule after a failure that may pass: asked again after the next
// pause, or not (no `retryAt`) once the page has been failing for too long.
export function retryLater(schedule, now) {
  const failingSince = schedule.failingSince ?? now;
  if (now - failingSince > GIVE_UP_MS) return { ...schedule, failingSince, retryAt: null };
  const pause = RECOVERY_PAUSES_MS[Math.min(schedule.attempt, RECOVERY_PAUSES_MS.length - 1)];
  return { ...schedule, failingSince, attempt: schedule.attempt + 1, retryAt: now + pause };
}

// The schedule once what failed is made good, or a person asks again: the
// pauses start over.
export function recovered(schedule) {
  return { ...schedule, retryAt: null, attempt: 0, failingSince: null };
}

// Whether a preview waits for the typing to pause.
export function typing(schedule, now) {
  return schedule.previewAt !== null && schedule.previewAt > now;
}

const due = (at, now) => at !== null && at <= now;

// What to do next for `state` at `now` (ms), `check` being its fields'
// validation: {schedule} with what is still wanted once this step is taken,
// and either `send` ('load', 'apply', 'preview', 'check', 'stored' or
// 'plot') with its `scene`
// and, for a plot point, its `speed`; or `wait`, the ms until something is
// due; or neither, when nothing is wanted before the next event.
export function nextRequest(state, check, now) {
  const s = state.schedule;
  if (state.working) return { schedule: s };
  const again = (schedule) => nextRequest({ ...state, schedule }, check, now);
  if (due(s.retryAt, now)) return again(askAgain(state, { ...s, retryAt: null }, now));
  if (s.load) return { send: 'load', schedule: { ...s, load: false } };
  if (s.apply) {
    // Fields made wrong while the apply waited: it is dropped.
    if (!check.valid) return again({ ...s, apply: false });
    return { send: 'apply', scene: check.values, schedule: { ...s, apply: false } };
  }
  if (due(s.previewAt, now) && check.valid) {
    const schedule = { ...s, previewAt: null };
    // Back at the scene already computed: only the plot may still want work.
    if (sameScene(check.values, state.settingsFor)) return again({ ...schedule, plotAt: now + SETTLE_MS });
    return { send: 'preview', scene: check.values, schedule };
  }
  if (s.check || due(s.checkAt, now)) return { send: 'check', schedule: { ...s, check: false, checkAt: null } };
  // A stored scene the fields do not hold (another device stored it) gets
  // its own settings, for the record; a failure waits for the next check.
  if (state.stored && !state.storedSettings && !state.failure && !typing(s, now) &&
      !sameScene(check.values, state.stored)) {
    return { send: 'stored', scene: state.stored, schedule: s };
  }
  if (due(s.plotAt, now) && check.valid && sameScene(check.values, state.settingsFor)) {
    const speed = nextPlotSpeed(state, check.values);
    if (speed === undefined) return again({ ...s, plotAt: null });
    return { send: 'plot', scene: check.values, speed, schedule: s };
  }
  const ahead = [s.retryAt, s.previewAt, s.plotAt, s.checkAt].filter((at) => at !== null && at > now);
  return ahead.length ? { wait: Math.min(...ahead) - now, schedule: s } : { schedule: s };
}
