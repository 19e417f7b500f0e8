// SPDX-License-Identifier: MIT
// What the page tells about the camera: the status line (always in exactly
// one state, with Retry beside every failure and a choice beside a held
// apply), the camera's settings with why the max shutter is what it is,
// the compact summary that stays in view while editing, what is said to a
// screen reader, and the commissioning record that only a printout shows.

import { KEYS, applying, sameScene } from './state.js';
import { sentenceForBusy } from './api.js';
import { unitOf } from './form.js';
import { formatIn, formatMicroseconds, formatNumber, formatSpeed, formatTime } from './numbers.js';
import { LONGEST_US, SHORTEST_US, crossing } from './plot.js';
import { TEXT } from './text.js';

const $ = (id) => document.getElementById(id);

const IR_CUT = { on: 'On', off: 'Off', auto: 'Automatic' };

const NAMES = {
  roadOffset: 'road offset',
  carDistance: 'distance to capture point',
  cameraHeight: 'camera height',
  carSpeed: 'vehicle speed',
};

const LABELS = {
  roadOffset: 'Road offset',
  carDistance: 'Distance to capture point',
  cameraHeight: 'Camera height',
  carSpeed: 'Vehicle speed',
};

export function shutterText(us) {
  return `${formatMicroseconds(us)}, about 1/${Math.round(1e6 / us)} s`;
}

// "road offset 3 m, …, vehicle speed 130 km/h"
export function sceneText(scene, speedUnit) {
  return Object.entries(NAMES).map(([key, name]) => `${name} ${formatIn(scene[key], unitOf(key, speedUnit))}`)
    .join(', ');
}

// One sentence on which limit holds for `maxShutter` (µs, the camera's
// answer for `scene`), speeds in `unit`. The geometry is worked out again
// only to explain the camera's number; the number shown is the camera's.
export function explain(scene, maxShutter, unit) {
  const { speed, angle } = crossing(scene);
  const counted = Math.max(speed, 1);
  const sight = `the line of sight meets the road at ${formatNumber(angle, 0)}°`;
  const cross = speed < 1
    ? `vehicles cross it at under ${formatSpeed(1, unit)}, counted as ${formatSpeed(1, unit)}`
    : `vehicles cross it at ${formatSpeed(speed, unit)}`;
  const moved = (us) => `${formatNumber((counted * us) / 1000, 1)} mm`;
  if (maxShutter >= LONGEST_US) {
    return `The camera's longest shutter time, ${LONGEST_US} µs, sets it: ${sight}, and ${cross}.`;
  }
  if (maxShutter <= SHORTEST_US) {
    return `The camera's shortest shutter time, ${SHORTEST_US} µs, sets it: ${sight}, ${cross}, ` +
      `and even in ${SHORTEST_US} µs they move ${moved(SHORTEST_US)}.`;
  }
  return `Motion blur sets it: ${sight}, ${cross}, and in ${formatMicroseconds(maxShutter)} ` +
    `they move ${moved(maxShutter)}.`;
}

// [[name, text]] of a set reply's data, in the order shown.
export function settingsRows(s) {
  return [
    ['Max shutter', shutterText(s.maxShutter)],
    ['Max gain', formatNumber(s.maxGain, 1)],
    ['Wide dynamic range', s.wdr ? 'On' : 'Off'],
    ['IR-cut filter', IR_CUT[s.irCut] ?? String(s.irCut)],
    ['Iris', s.irisEnabled ? 'Automatic' : `Fixed at position ${s.irisPosition}`],
  ];
}

// Says `text` once to a screen reader.
export function announce(text) {
  $('results-said').textContent = text;
}

// What the settings shown belong to, for the summary and the announcement.
export function settingsOf(state, check) {
  if (!state.settings) return state.failure ? 'unavailable' : '';
  if (!check.valid || !sameScene(check.values, state.settingsFor)) return 'earlier values';
  return sameScene(state.settingsFor, state.stored) ? 'stored scene' : 'preview';
}

export function renderResults(state, check) {
  const s = state.settings;
  if (s) {
    const rows = settingsRows(s);
    for (const [i, id] of ['r-shutter', 'r-gain', 'r-wdr', 'r-ircut', 'r-iris'].entries()) {
      $(id).textContent = rows[i][1];
    }
  }
  const of = settingsOf(state, check);
  const current = of === 'preview' || of === 'stored scene';
  let note = '';
  if (!state.intervals) note = '';
  else if (!check.valid) note = 'Correct the marked values to see their settings.';
  else if (!current && state.failure) note = 'These settings are for earlier values.';
  else if (!current) note = 'Working out the settings…';
  $('results-note').textContent = note;
  $('results').classList.toggle('stale', !!s && !current);
  $('results-why').textContent = current ? explain(state.settingsFor, s.maxShutter, state.unit) : '';

  $('s-shutter').textContent = `Max shutter ${s ? shutterText(s.maxShutter) : '–'}`;
  $('s-what').textContent = of === 'earlier values' ? 'for earlier values' : of;
  $('s-what').className = `summary-what ${of.replace(' ', '-')}`;
  $('s-shutter').closest('.summary').classList.toggle('stale', !!s && !current);
}

// {kind, text, retry, choice} for the state; `dirty` when the fields hold
// values other than the stored scene.
export function statusOf(state, dirty) {
  const scene = (shown) => ({ time: formatTime(shown.at), scene: sceneText(shown.scene, state.unit) });
  if (state.busyPauseMs !== null) return { kind: 'busy', text: sentenceForBusy(state.busyPauseMs) };
  if (applying(state)) return { kind: 'busy', text: TEXT.applying };
  if (state.held) return { kind: 'error', text: TEXT.held(scene(state.held)), choice: true };
  if (state.failure) {
    const more = state.failure.auto ? ` ${TEXT.keepsTrying}` : '';
    return { kind: 'error', text: state.failure.text + more, retry: !!state.failure.retry };
  }
  if (!state.intervals) return { kind: 'info', text: TEXT.loading };
  if (state.elsewhere) {
    const said = dirty ? TEXT.storedElsewhereKept : TEXT.storedElsewhere;
    return { kind: 'notice', text: said(scene(state.elsewhere)) };
  }
  if (dirty) return { kind: 'info', text: TEXT.previewing };
  if (state.refused && sameScene(state.refused, state.stored)) {
    return { kind: 'error', text: TEXT.storedNotTaken, retry: true };
  }
  if (state.applied && sameScene(state.applied.scene, state.stored)) {
    return { kind: 'success', text: TEXT.applied(scene(state.applied)) };
  }
  return { kind: 'info', text: TEXT.showing };
}

export function renderStatus(state, dirty) {
  const { kind, text, retry, choice } = statusOf(state, dirty);
  const line = $('status-text');
  // Written only when it changes, so that it is announced once.
  if (line.textContent !== text) line.textContent = text;
  $('status').className = `status ${kind}`;
  $('retry').hidden = !retry;
  $('apply-mine').hidden = $('take-stored').hidden = !choice;
}

function valueText(key, value, speedUnit) {
  const shown = formatIn(value, unitOf(key, speedUnit));
  return key === 'carSpeed' && speedUnit !== 'm/s' ? `${shown} (${formatSpeed(value, 'm/s', 2)})` : shown;
}

// The record: the camera's address, the stored scene as last read (and
// when) in the person's units, the settings the camera computed for it,
// when it was printed, and a warning when the camera did not take them.
export function renderRecord(state) {
  const rows = [
    ['Camera', location.host],
    ['Printed', formatTime(new Date(), true)],
  ];
  if (state.stored) {
    rows.push(['Stored scene read', formatTime(state.storedAt, true)]);
    for (const key of KEYS) rows.push([LABELS[key], valueText(key, state.stored[key], state.unit)]);
  }
  const s = state.storedSettings;
  if (s) {
    rows.push(...settingsRows(s));
    rows.push(['Why', explain(state.stored, s.maxShutter, state.unit)]);
  }
  // The paper must not pass settings off as the camera's that it refused.
  if (state.refused && sameScene(state.refused, state.stored)) rows.push(['Warning', TEXT.notTakenRecord]);
  $('record-list').replaceChildren(...rows.map(([name, text]) => {
    const div = document.createElement('div');
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = name;
    dd.textContent = text;
    div.append(dt, dd);
    return div;
  }));
}
