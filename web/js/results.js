// SPDX-License-Identifier: MIT
// The camera's settings as the page shows them: the results card with its
// explanation, the compact summary that stays in view while editing, and
// what is said to a screen reader when settings settle or go stale.

import { sameScene } from './state.js';
import { formatMicroseconds, formatNumber } from './numbers.js';
import { explain } from './explain.js';

const IR_CUT = { on: 'On', off: 'Off', auto: 'Automatic' };

export function shutterText(us) {
  return `${formatMicroseconds(us)}, about 1/${Math.round(1e6 / us)} s`;
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

const $ = (id) => document.getElementById(id);

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
  $('s-what').textContent = of;
  $('s-what').className = `summary-what ${of.replace(' ', '-')}`;
}
