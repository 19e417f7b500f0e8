// SPDX-License-Identifier: MIT
// The commissioning record, which only a printout shows: the camera's
// address, the stored scene in the person's units, the settings the camera
// computed for it, when it was printed, and a warning when the camera did
// not take the stored scene's settings.

import { KEYS, sameScene } from './state.js';
import { unitOf } from './form.js';
import { formatIn, formatSpeed } from './numbers.js';
import { settingsRows } from './results.js';
import { explain } from './explain.js';

const LABELS = {
  roadOffset: 'Road offset',
  carDistance: 'Distance to capture point',
  cameraHeight: 'Camera height',
  carSpeed: 'Vehicle speed',
};

function valueText(key, value, speedUnit) {
  const shown = formatIn(value, unitOf(key, speedUnit));
  return key === 'carSpeed' && speedUnit !== 'm/s' ? `${shown} (${formatSpeed(value, 'm/s', 2)})` : shown;
}

export function renderRecord(state) {
  const rows = [
    ['Camera', location.host],
    ['Printed', new Date().toLocaleString(undefined, { dateStyle: 'long', timeStyle: 'short' })],
  ];
  if (state.stored) {
    for (const key of KEYS) rows.push([LABELS[key], valueText(key, state.stored[key], state.unit)]);
  }
  const s = state.storedSettings;
  if (s) {
    rows.push(...settingsRows(s));
    rows.push(['Why', explain(state.stored, s.maxShutter, state.unit)]);
  }
  // The paper must not pass settings off as the camera's that it refused.
  if (state.refused && sameScene(state.refused, state.stored)) {
    rows.push(['Warning', 'The scene was stored, but the camera did not take all settings.']);
  }
  const list = document.getElementById('record-list');
  list.replaceChildren(...rows.map(([name, text]) => {
    const div = document.createElement('div');
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = name;
    dd.textContent = text;
    div.append(dt, dd);
    return div;
  }));
}
