// SPDX-License-Identifier: MIT
// The page's wiring: events change the state, the scheduler picks the one
// request to send next (or when to look again), and render() draws
// everything from the state, in the language chosen, once its words are in.

import * as api from './api.js';
import { state, KEYS, applying, geometryKey, sameScene } from './state.js';
import { bindForm, renderForm, validate, focusFirstError, shownField, switchedSpeed } from './form.js';
import { fieldNumber } from './numbers.js';
import { renderDiagram } from './diagram.js';
import { curvePoints, renderPlot } from './plot.js';
import { announce, ofText, renderRecord, renderResults, renderStatus, settingsOf, shutterText } from './results.js';
import { LANGUAGES, LANGUAGE_KEY, language, ready, say, t, useLanguage } from './text.js';
import {
  CHECK_MS, DEBOUNCE_MS, SETTLE_MS, askAgain, nextPlotSpeed, nextRequest, plotted, recovered, retryLater, typing,
} from './scheduler.js';

// Kept in the browser: the speed unit, and a scene the camera did not take.
const UNIT_KEY = 'lanecamd.speedUnit';
const REFUSED_KEY = 'lanecamd.refusedScene';

// Wakes the scheduler when something it was asked for falls due.
let wakeTimer = 0;

const $ = (id) => document.getElementById(id);

function check() {
  return validate(state.fields, state.intervals, state.unit);
}

function dirty(c) {
  return !!state.stored && KEYS.some((k) => c.values[k] !== state.stored[k]);
}

function remembered(key) {
  try {
    return JSON.parse(localStorage.getItem(key));
  } catch {
    return null;
  }
}

function remember(key, value) {
  try {
    if (value === null) localStorage.removeItem(key);
    else localStorage.setItem(key, JSON.stringify(value));
  } catch {
    // Storage refused (a private window, say): kept for this visit only.
  }
}

function onBusy(pauseMs) {
  state.busyPauseMs = pauseMs;
  render();
}

function settleLater() {
  state.schedule.plotAt = Date.now() + SETTLE_MS;
}

function readGet(data) {
  const intervals = {};
  const stored = {};
  for (const key of KEYS) {
    const interval = data[`${key}Interval`];
    if (!Array.isArray(interval) || interval.length !== 2 || !interval.every(Number.isFinite) ||
        !Number.isFinite(data[key])) {
      throw new api.ApiError('unreadable', { key: 'unreadable' });
    }
    intervals[key] = interval;
    stored[key] = data[key];
  }
  return { intervals, stored };
}

// Keeps a computed point for the plot when it belongs to the plotted geometry.
function addPlotPoint(scene, settings) {
  const key = geometryKey(scene);
  if (state.plot.geometry !== key) state.plot = { geometry: key, points: [] };
  if (!state.plot.points.some((p) => p.speed === scene.carSpeed)) {
    state.plot.points.push({ speed: scene.carSpeed, shutter: settings.maxShutter });
  }
}

function computed(scene, settings) {
  state.settings = settings;
  state.settingsFor = scene;
  if (sameScene(scene, state.stored)) state.storedSettings = settings;
  addPlotPoint(scene, settings);
}

// The stored scene as just read; returns it.
async function readStored() {
  const { intervals, stored } = readGet(await api.get(onBusy));
  state.intervals = intervals;
  state.storedAt = new Date();
  if (!sameScene(stored, state.stored)) {
    state.stored = stored;
    // Settings computed for another scene are not the stored scene's.
    state.storedSettings = sameScene(state.settingsFor, stored) ? state.settings : null;
  }
  return stored;
}

function showScene(scene) {
  state.base = scene;
  state.fields = Object.fromEntries(KEYS.map((k) => [k, shownField(k, scene[k], state.unit)]));
  state.schedule.previewAt = Date.now();
}

async function load() {
  showScene(await readStored());
  state.elsewhere = null;
  state.held = null;
  if (!sameScene(state.refused, state.stored)) {
    state.refused = null;
    remember(REFUSED_KEY, null);
  }
}

// Whether the stored scene is another than the person's values start from
// and than what the fields hold: another device stored it.
function storedElsewhere(c) {
  return !sameScene(state.stored, state.base) && !sameScene(state.stored, c.values);
}

// The idle look at the stored scene: one stored elsewhere is shown at once,
// in the fields too unless the person has changed them.
async function checkStored() {
  const c = check();
  const untouched = sameScene(c.values, state.base);
  await readStored();
  if (!storedElsewhere(c)) {
    state.base = state.stored;
    return;
  }
  state.elsewhere = { scene: state.stored, at: state.storedAt };
  if (untouched) showScene(state.stored);
}

async function preview(scene) {
  const settings = await api.set(scene, false, onBusy);
  computed(scene, settings);
  settleLater();
  const c = check();
  if (!typing(state.schedule, Date.now()) && sameScene(c.values, scene)) {
    announce(t('announced', { shutter: shutterText(settings.maxShutter), of: ofText(settingsOf(state, c)) }));
  }
}

async function apply(scene) {
  // Another device's scene is never overwritten unseen: the apply is held
  // until the person chooses.
  await readStored();
  if (storedElsewhere({ values: scene })) {
    state.held = { scene: state.stored, at: state.storedAt };
    state.elsewhere = null;
    return;
  }
  let settings;
  try {
    settings = await api.apply(scene, onBusy);
  } catch (e) {
    if (!e.stored) throw e;
    state.stored = state.base = scene;
    state.storedAt = new Date();
    state.storedSettings = sameScene(state.settingsFor, scene) ? state.settings : null;
    // A refused apply brings no settings: those of an apply sent before its
    // preview are asked for now.
    if (!state.storedSettings) state.schedule.previewAt = Date.now();
    state.applied = null;
    state.refused = scene;
    remember(REFUSED_KEY, scene);
    return;
  }
  state.stored = state.base = scene;
  state.storedAt = new Date();
  state.elsewhere = null;
  state.applied = { at: state.storedAt, scene };
  state.refused = null;
  remember(REFUSED_KEY, null);
  computed(scene, settings);
  settleLater();
}

async function plotPoint(scene, speed) {
  const settings = await api.set({ ...scene, carSpeed: speed }, false, onBusy);
  addPlotPoint({ ...scene, carSpeed: speed }, settings);
}

// The settings of a stored scene that the fields do not hold, for the record.
async function storedSettings(scene) {
  const settings = await api.set(scene, false, onBusy);
  if (sameScene(scene, state.stored)) state.storedSettings = settings;
}

// The Retry button: asks again for what failed at once, and starts the
// pauses over.
function onRetry() {
  state.schedule = recovered(state.schedule);
  // A refused apply that is remembered across a reload has no failure of
  // its own: its Retry applies again too.
  const refused = !state.failure && state.refused && sameScene(state.refused, state.stored);
  if (state.failure?.retry === 'apply' || refused) {
    onApply();
    return;
  }
  state.schedule = askAgain(state, state.schedule, Date.now());
  pump();
}

async function run(kind, job) {
  state.working = kind;
  render();
  try {
    await job();
    // The service answers again: what failed is asked for now (a check
    // that passes must not leave a failed preview's settings missing).
    if (state.failure && state.failure.retry !== kind) state.schedule = askAgain(state, state.schedule, Date.now());
    // A failed apply stays said until an apply, a load or an edit.
    if (kind === 'apply' || kind === 'load' || state.failure?.retry !== 'apply') state.failure = null;
    state.schedule = recovered(state.schedule);
    // The stored scene was read: the next look is due in a while, if the
    // page is in view.
    if (['load', 'check', 'apply'].includes(kind)) {
      state.schedule.checkAt = document.hidden ? null : Date.now() + CHECK_MS;
    }
  } catch (e) {
    const said = e instanceof api.ApiError ? e.said : { key: 'pageFailed', values: { reason: e.message } };
    // An apply is never repeated without being asked for.
    const auto = kind !== 'apply' && api.passing(e);
    // The same failure again, as the page asks again by itself, is said once.
    const again = !!state.failure && say(state.failure.said) === say(said);
    state.failure = { said, retry: kind === 'plot' ? 'preview' : kind, auto };
    // A failed plot point would be asked for again at once; wait.
    if (kind === 'plot') state.schedule.plotAt = null;
    if (auto) {
      state.schedule = retryLater(state.schedule, Date.now());
      state.failure.auto = state.schedule.retryAt !== null;
    }
    if (!again && state.settings && !sameScene(check().values, state.settingsFor)) {
      announce(t('staleSettings'));
    }
  } finally {
    state.working = null;
    state.busyPauseMs = null;
    render();
    pump();
  }
}

const JOBS = {
  load: () => load(),
  check: () => checkStored(),
  apply: (next) => apply(next.scene),
  preview: (next) => preview(next.scene),
  stored: (next) => storedSettings(next.scene),
  plot: (next) => plotPoint(next.scene, next.speed),
};

// Starts the request the scheduler picks, or wakes it when one falls due.
function pump() {
  clearTimeout(wakeTimer);
  const next = nextRequest(state, check(), Date.now());
  state.schedule = next.schedule;
  if (next.send) run(next.send, () => JOBS[next.send](next));
  else if (next.wait !== undefined) wakeTimer = setTimeout(pump, next.wait);
}

function onFieldChange(key, text) {
  state.fields[key] = { text, exact: null };
  state.elsewhere = null;
  // A failed apply or a refused one is over once the values change.
  if (state.failure && (state.failure.retry ?? 'apply') === 'apply') state.failure = null;
  state.schedule = { ...state.schedule, previewAt: Date.now() + DEBOUNCE_MS, plotAt: null };
  render();
  pump();
}

// Enter, or leaving the field: previews at once what is still being typed.
function onCommit() {
  if (!typing(state.schedule, Date.now())) return;
  state.schedule.previewAt = Date.now();
  pump();
}

function onSlide(key, value) {
  onFieldChange(key, fieldNumber(value, 6));
}

function onUnit(unit) {
  if (unit === state.unit) return;
  state.fields.carSpeed = switchedSpeed(state.fields.carSpeed, state.unit, unit);
  state.unit = unit;
  remember(UNIT_KEY, unit);
  render();
}

function onApply() {
  if (applying(state) || !state.intervals) return;
  const c = check();
  if (!c.valid) {
    state.failure = { said: { key: 'correctFirst' }, retry: null, auto: false };
    render();
    focusFirstError(c);
    return;
  }
  state.schedule = { ...state.schedule, apply: true, previewAt: null };
  state.failure = null;
  render();
  pump();
}

function onRevert() {
  state.schedule = { ...state.schedule, load: true, apply: false, previewAt: null };
  state.failure = null;
  render();
  pump();
}

// A held apply: the person's values over the other device's scene, or that
// scene into the fields.
function onApplyMine() {
  state.base = state.held.scene;
  state.held = null;
  onApply();
}

function onTakeStored() {
  state.held = null;
  showScene(state.stored);
  render();
  pump();
}

// Back in view: a look at the stored scene at once (at most every few
// seconds, as focus and visibility come together); hidden: none.
function onShown() {
  if (document.hidden) {
    state.schedule.checkAt = null;
  } else if (state.base && Date.now() - state.storedAt >= 2000) {
    state.schedule.check = true;
  } else if (state.base && state.schedule.checkAt === null) {
    state.schedule.checkAt = Date.now() + CHECK_MS;
  }
  pump();
}

// Leaving with values not applied, or with an apply under way, asks first.
function onLeave(event) {
  if (!dirty(check()) && !applying(state)) return;
  event.preventDefault();
  event.returnValue = '';
}

// Another language: its words, its digits in the fields the page wrote, and
// everything drawn again.
async function onLanguage(code) {
  remember(LANGUAGE_KEY, code);
  await useLanguage(code);
  for (const key of KEYS) {
    const { exact } = state.fields[key];
    if (exact !== null) state.fields[key] = shownField(key, exact, state.unit);
  }
  render();
}

// The language choice lists each language by its own name, in its own
// language.
function bindLanguages() {
  const choice = $('language');
  choice.replaceChildren(...LANGUAGES.map((l) => {
    const option = new Option(l.name, l.code);
    option.lang = l.code;
    option.dir = l.dir;
    return option;
  }));
  choice.addEventListener('change', () => onLanguage(choice.value));
}

// Nothing is drawn before the words of the page's language are in.
let speaking = false;
let recordShown = '';
const drawn = { diagram: '', plot: '' };

// Draws only what changed since it was last drawn.
function redraw(which, inputs, draw) {
  const key = JSON.stringify(inputs);
  if (drawn[which] === key) return;
  drawn[which] = key;
  draw();
}

function render() {
  if (!speaking) return;
  const c = check();
  const { code } = language();
  $('language').value = code;
  const changed = dirty(c);
  renderForm(state, c);
  renderResults(state, c);
  renderStatus(state, changed);
  $('apply').setAttribute('aria-disabled', applying(state) || !state.intervals ? 'true' : 'false');

  const complete = KEYS.every((k) => k in c.values);
  const scene = complete ? c.values : null;
  redraw('diagram', [scene, state.unit, code], () => renderDiagram($('diagram'), scene, state.unit));

  const interval = state.intervals?.carSpeed;
  const answers = c.valid ? plotted(state, c.values) : [];
  const points = answers.length ? curvePoints(c.values, answers, interval) : [];
  const marker = c.valid && sameScene(c.values, state.settingsFor)
    ? { speed: c.values.carSpeed, shutter: state.settings.maxShutter } : null;
  const done = !!marker && nextPlotSpeed(state, c.values) === undefined;
  const plot = $('plot');
  redraw('plot', [interval, points, marker, done, state.unit, plot.clientWidth, code],
    () => renderPlot(plot, interval, points, marker, done, state.unit));
  $('plot-note').textContent = state.intervals && !done ? t('curveFills') : '';

  const record = JSON.stringify([state.stored, state.storedAt, state.storedSettings, state.unit, state.refused, code]);
  if (record !== recordShown) {
    recordShown = record;
    renderRecord(state);
  }
}

state.unit = ['m/s', 'km/h', 'mph'].includes(remembered(UNIT_KEY)) ? remembered(UNIT_KEY) : 'm/s';
state.refused = remembered(REFUSED_KEY);
bindForm({ change: onFieldChange, commit: onCommit, slide: onSlide, unit: onUnit });
bindLanguages();
$('scene').addEventListener('submit', (event) => event.preventDefault());
$('apply').addEventListener('click', onApply);
$('revert').addEventListener('click', onRevert);
$('retry').addEventListener('click', onRetry);
$('apply-mine').addEventListener('click', onApplyMine);
$('take-stored').addEventListener('click', onTakeStored);
document.addEventListener('visibilitychange', onShown);
window.addEventListener('focus', onShown);
window.addEventListener('resize', render);
window.addEventListener('beforeunload', onLeave);
window.addEventListener('beforeprint', () => speaking && renderRecord(state));
// The stored scene is asked for at once; it and the words arrive together.
pump();
ready.then(() => {
  speaking = true;
  render();
});
