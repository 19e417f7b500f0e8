// SPDX-License-Identifier: MIT
// What the page tells about the camera: the status line (always in exactly
// one state, with Retry beside every failure and a choice beside a held
// apply), the camera's settings with why the max shutter is what it is,
// the compact summary that stays in view while editing, what is said to a
// screen reader, and the commissioning record that only a printout shows.

import { KEYS, applying, sameScene } from './state.js';
import { sentenceForBusy } from './api.js';
import { unitOf } from './form.js';
import { formatIn, formatMicroseconds, formatNumber, formatSpeed, formatTime, quantity } from './numbers.js';
import { LONGEST_US, SHORTEST_US, crossing } from './plot.js';
import { language, say, t } from './text.js';
import { put } from './form.js';

const $ = (id) => document.getElementById(id);

const IR_CUT = { on: 'on', off: 'off', auto: 'automatic' };

// Each value's key in its catalogue's names: sceneRoadOffset, recordRoadOffset...
const NAMED = (prefix, key) => `${prefix}${key[0].toUpperCase()}${key.slice(1)}`;

export function shutterText(us) {
  return t('shutter', { time: formatMicroseconds(us), fraction: formatNumber(Math.round(1e6 / us), 0) });
}

const lists = new Map();

// "road offset 3 m, …, vehicle speed 130 km/h", as the language lists them.
export function sceneText(scene, speedUnit) {
  const { locale } = language();
  if (!lists.has(locale)) lists.set(locale, new Intl.ListFormat(locale, { type: 'unit', style: 'short' }));
  return lists.get(locale).format(KEYS.map((key) =>
    t(NAMED('scene', key), { value: formatIn(scene[key], unitOf(key, speedUnit)) })));
}

// One sentence on which limit holds for `maxShutter` (µs, the camera's
// answer for `scene`), speeds in `unit`. The geometry is worked out again
// only to explain the camera's number; the number shown is the camera's.
export function explain(scene, maxShutter, unit) {
  const { speed, angle } = crossing(scene);
  const counted = Math.max(speed, 1);
  const sight = t('sight', { angle: formatNumber(angle, 0) });
  const cross = speed < 1 ? t('crossSlow', { speed: formatSpeed(1, unit) })
    : t('cross', { speed: formatSpeed(speed, unit) });
  const moved = (us) => quantity((counted * us) / 1000, 'mm', 1);
  if (maxShutter >= LONGEST_US) return t('longestSets', { limit: formatMicroseconds(LONGEST_US), sight, cross });
  if (maxShutter <= SHORTEST_US) {
    return t('shortestSets', { limit: formatMicroseconds(SHORTEST_US), sight, cross, moved: moved(SHORTEST_US) });
  }
  return t('blurSets', { sight, cross, time: formatMicroseconds(maxShutter), moved: moved(maxShutter) });
}

// [[name, text]] of a set reply's data, in the order shown.
export function settingsRows(s) {
  return [
    [t('maxShutter'), shutterText(s.maxShutter)],
    [t('maxGain'), formatNumber(s.maxGain, 1)],
    [t('wdr'), t(s.wdr ? 'on' : 'off')],
    [t('irCut'), IR_CUT[s.irCut] ? t(IR_CUT[s.irCut]) : String(s.irCut)],
    [t('iris'), s.irisEnabled ? t('automatic') : t('irisFixed', { position: formatNumber(s.irisPosition, 0) })],
  ];
}

// Says `text` once to a screen reader.
export function announce(text) {
  $('results-said').textContent = text;
}

const OF_KEYS = {
  preview: 'ofPreview', 'stored scene': 'ofStored', 'earlier values': 'ofEarlier', unavailable: 'ofUnavailable',
};

// What settingsOf() tells, in words.
export function ofText(of) {
  return of ? t(OF_KEYS[of]) : '';
}

// What the settings shown belong to, for the summary and the announcement:
// 'preview', 'stored scene', 'earlier values', 'unavailable' or ''.
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
  else if (!check.valid) note = 'correctToSee';
  else if (!current && state.failure) note = 'earlierSettings';
  else if (!current) note = 'workingOut';
  put($('results-note'), note ? t(note) : '');
  $('results').classList.toggle('stale', !!s && !current);
  put($('results-why'), current ? explain(state.settingsFor, s.maxShutter, state.unit) : '');

  put($('s-shutter'), t('summaryShutter', { shutter: s ? shutterText(s.maxShutter) : '–' }));
  put($('s-what'), of === 'earlier values' ? t('forEarlier') : ofText(of));
  $('s-what').className = `summary-what ${of.replace(' ', '-')}`;
  $('s-shutter').closest('.summary').classList.toggle('stale', !!s && !current);
}

// {kind, said, retry, choice} for the state, `said` as say() takes it;
// `dirty` when the fields hold values other than the stored scene.
export function statusOf(state, dirty) {
  const scene = (shown) => ({ time: formatTime(shown.at), scene: sceneText(shown.scene, state.unit) });
  if (state.busyPauseMs !== null) return { kind: 'busy', said: sentenceForBusy(state.busyPauseMs) };
  if (applying(state)) return { kind: 'busy', said: { key: 'applying' } };
  if (state.held) return { kind: 'error', said: { key: 'held', values: scene(state.held) }, choice: true };
  if (state.failure) {
    const more = state.failure.auto ? [{ key: 'keepsTrying' }] : [];
    return { kind: 'error', said: [state.failure.said, ...more].flat(), retry: !!state.failure.retry };
  }
  if (!state.intervals) return { kind: 'info', said: { key: 'loading' } };
  if (state.elsewhere) {
    const key = dirty ? 'storedElsewhereKept' : 'storedElsewhere';
    return { kind: 'notice', said: { key, values: scene(state.elsewhere) } };
  }
  if (dirty) return { kind: 'info', said: { key: 'previewing' } };
  if (state.refused && sameScene(state.refused, state.stored)) {
    return { kind: 'error', said: { key: 'storedNotTaken' }, retry: true };
  }
  if (state.applied && sameScene(state.applied.scene, state.stored)) {
    return { kind: 'success', said: { key: 'applied', values: scene(state.applied) } };
  }
  return { kind: 'info', said: { key: 'showing' } };
}

export function renderStatus(state, dirty) {
  const { kind, said, retry, choice } = statusOf(state, dirty);
  put($('status-text'), say(said));
  $('status').className = `status ${kind}`;
  $('retry').hidden = !retry;
  $('apply-mine').hidden = $('take-stored').hidden = !choice;
}

function valueText(key, value, speedUnit) {
  const shown = formatIn(value, unitOf(key, speedUnit));
  if (key !== 'carSpeed' || speedUnit === 'm/s') return shown;
  return t('speedInBoth', { speed: shown, si: formatSpeed(value, 'm/s', 2) });
}

// The record: the camera's address, the stored scene as last read (and
// when) in the person's units, the settings the camera computed for it,
// when it was printed, and a warning when the camera did not take them.
export function renderRecord(state) {
  const rows = [
    [t('recordCamera'), location.host],
    [t('recordPrinted'), formatTime(new Date(), true)],
  ];
  if (state.stored) {
    rows.push([t('recordRead'), formatTime(state.storedAt, true)]);
    for (const key of KEYS) rows.push([t(NAMED('record', key)), valueText(key, state.stored[key], state.unit)]);
  }
  const s = state.storedSettings;
  if (s) {
    rows.push(...settingsRows(s));
    rows.push([t('recordWhy'), explain(state.stored, s.maxShutter, state.unit)]);
  }
  // The paper must not pass settings off as the camera's that it refused.
  if (state.refused && sameScene(state.refused, state.stored)) rows.push([t('recordWarning'), t('notTakenRecord')]);
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
