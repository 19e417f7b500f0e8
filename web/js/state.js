// SPDX-License-Identifier: MIT
// The page's one state object. Event handlers and replies change it and then
// ask for a render; nothing else holds what the page shows.

export const KEYS = ['roadOffset', 'carDistance', 'cameraHeight', 'carSpeed'];

export const state = {
  // The intervals from the last get, {key: [min, max]} in m and m/s; null
  // before it.
  intervals: null,
  // The scene as stored on the camera (last get or successful apply), and
  // when it was read or stored (a Date).
  stored: null,
  storedAt: null,
  // The stored scene the person's values start from: the one loaded, taken
  // or last applied. Another device stored a scene when `stored` differs
  // from it.
  base: null,
  // A scene another device stored, as a check found it: {scene, at}; said
  // until the person edits, applies or reloads.
  elsewhere: null,
  // An apply held back because another device stored a scene meanwhile:
  // {scene, at} of that scene, until the person chooses.
  held: null,
  // Each field: the text it holds, and `exact`, the value in m or m/s when
  // the page wrote the text (rounded for people) rather than the person, so
  // that showing a value never changes what is sent; null once typed.
  fields: Object.fromEntries(KEYS.map((k) => [k, { text: '', exact: null }])),
  // The unit speeds are typed and shown in: 'm/s', 'km/h' or 'mph'.
  unit: 'm/s',
  // The last settings the camera computed, and the scene they belong to;
  // and those of the stored scene, for the commissioning record.
  settings: null,
  settingsFor: null,
  storedSettings: null,
  // The request under way: 'load', 'preview', 'apply', 'plot' or null.
  working: null,
  // While a busy reply is being retried: the pause before the next attempt.
  busyPauseMs: null,
  // The last request that failed and is not yet made good: {text, retry:
  // 'load'|'preview'|'apply', auto: whether the page is retrying by itself}.
  failure: null,
  // The last apply that succeeded: {at: Date, scene}.
  applied: null,
  // A scene that was stored but that the camera did not take, kept across
  // reloads until an apply succeeds.
  refused: null,
  // Max shutter by speed for one geometry: the camera's answers [{speed,
  // shutter}] in the order they came, and the geometry (a text key) they
  // were computed for.
  plot: { geometry: null, points: [] },
  // What the scheduler is to ask for: the stored scene into the fields
  // (`load`), an apply waiting for the request under way (`apply`), the
  // stored scene only to see whether it changed (`check`, now); and when
  // (ms, as Date.now(); null when not wanted) to check it while idle,
  // preview the fields, ask for the plot's next point and ask again for
  // what failed, with the failures in a row asked again (`attempt`) and
  // since when they fail.
  schedule: {
    load: true,
    apply: false,
    check: false,
    checkAt: null,
    previewAt: null,
    plotAt: null,
    retryAt: null,
    attempt: 0,
    failingSince: null,
  },
};

// The geometry part of a scene, which the plot's curve depends on.
export function geometryKey(scene) {
  return `${scene.roadOffset}|${scene.carDistance}|${scene.cameraHeight}`;
}

export function sameScene(a, b) {
  return !!a && !!b && KEYS.every((k) => a[k] === b[k]);
}

// Whether an apply is under way or waiting to be sent.
export function applying(state) {
  return state.working === 'apply' || state.schedule.apply;
}
