// SPDX-License-Identifier: MIT
// The page's one state object. Event handlers and replies change it and then
// ask for a render; nothing else holds what the page shows.

export const KEYS = ['roadOffset', 'carDistance', 'cameraHeight', 'carSpeed'];

export const state = {
  // The intervals from the last get, {key: [min, max]}; null before it.
  intervals: null,
  // The scene as stored on the camera (last get or successful apply).
  stored: null,
  // What each number field holds, as typed.
  texts: Object.fromEntries(KEYS.map((k) => [k, ''])),
  // The last settings the camera computed, and the scene they belong to.
  settings: null,
  settingsFor: null,
  // The request under way: 'load', 'preview', 'apply', 'plot' or null.
  working: null,
  // While a busy reply is being retried: the pause before the next attempt.
  busyPauseMs: null,
  // A sentence about the last outcome: {kind: 'error'|'success'|'info', text}.
  notice: null,
  // Max shutter by speed for one geometry: points [{speed, shutter}] in the
  // order sent, and the geometry (a text key) they were computed for.
  plot: { geometry: null, points: [] },
  // An apply that waits for the request under way to finish.
  applyQueued: false,
};

// The geometry part of a scene, which the plot's curve depends on.
export function geometryKey(scene) {
  return `${scene.roadOffset}|${scene.carDistance}|${scene.cameraHeight}`;
}

export function sameScene(a, b) {
  return !!a && !!b && KEYS.every((k) => a[k] === b[k]);
}
