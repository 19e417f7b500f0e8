// SPDX-License-Identifier: MIT
// The one status line: where the page stands with the camera, always in
// exactly one state (busy, applying, failed, reading, previewing, applied,
// showing the stored scene), with a Retry button beside every failure.

import { applying, sameScene } from './state.js';
import { STORED_NOT_TAKEN, sentenceForBusy } from './api.js';
import { unitOf } from './form.js';
import { formatIn } from './numbers.js';

const NAMES = {
  roadOffset: 'road offset',
  carDistance: 'distance to capture point',
  cameraHeight: 'camera height',
  carSpeed: 'vehicle speed',
};

// "road offset 3 m, …, vehicle speed 130 km/h"
export function sceneText(scene, speedUnit) {
  return Object.entries(NAMES).map(([key, name]) => `${name} ${formatIn(scene[key], unitOf(key, speedUnit))}`)
    .join(', ');
}

function hhmm(date) {
  return `${String(date.getHours()).padStart(2, '0')}:${String(date.getMinutes()).padStart(2, '0')}`;
}

// {kind, text, retry} for the state; `dirty` when the fields hold values
// other than the stored scene.
export function statusOf(state, dirty) {
  if (state.busyPauseMs !== null) return { kind: 'busy', text: sentenceForBusy(state.busyPauseMs) };
  if (applying(state)) return { kind: 'busy', text: 'Applying to the camera…' };
  if (state.failure) {
    const more = state.failure.auto ? ' The page keeps trying.' : '';
    return { kind: 'error', text: state.failure.text + more, retry: !!state.failure.retry };
  }
  if (!state.intervals) return { kind: 'info', text: 'Reading the stored scene…' };
  if (dirty) return { kind: 'info', text: 'Previewing values that are not applied yet.' };
  if (state.refused && sameScene(state.refused, state.stored)) {
    return { kind: 'error', text: STORED_NOT_TAKEN, retry: true };
  }
  if (state.applied && sameScene(state.applied.scene, state.stored)) {
    return { kind: 'success', text: `Applied at ${hhmm(state.applied.at)}: ${sceneText(state.stored, state.unit)}.` };
  }
  return { kind: 'info', text: 'Showing the stored scene.' };
}

export function renderStatus(state, dirty) {
  const { kind, text, retry } = statusOf(state, dirty);
  const line = document.getElementById('status-text');
  // Written only when it changes, so that it is announced once.
  if (line.textContent !== text) line.textContent = text;
  document.getElementById('status').className = `status ${kind}`;
  document.getElementById('retry').hidden = !retry;
}
