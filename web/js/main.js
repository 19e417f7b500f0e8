// SPDX-License-Identifier: MIT
// The page's wiring: events change the state, one scheduler sends at most
// one request at a time (load, apply, preview, then the plot's points),
// failures that may pass are asked again with growing pauses, and render()
// draws everything from the state.

import * as api from './api.js';
import { state, KEYS, geometryKey, sameScene } from './state.js';
import { bindForm, renderForm, validate, focusFirstError, shownField } from './form.js';
import { fieldNumber } from './numbers.js';
import { renderDiagram } from './diagram.js';
import { renderPlot, plotSpeeds } from './plot.js';
import { announce, renderResults, settingsOf, shutterText } from './results.js';
import { renderStatus } from './status.js';
import { renderRecord } from './record.js';

const DEBOUNCE_MS = 250;
const SETTLE_MS = 600;
// Pauses before asking again while the web server or the service does not
// answer; the last one repeats until the page gives up, ten minutes after
// the first failure, and leaves it to the Retry button.
const RECOVERY_PAUSES_MS = [1000, 2000, 4000, 8000, 15000, 30000];
const GIVE_UP_MS = 10 * 60 * 1000;
// Kept in the browser: the speed unit, and a scene the camera did not take.
const UNIT_KEY = 'lanecamd.speedUnit';
const REFUSED_KEY = 'lanecamd.refusedScene';

// What the scheduler is asked to do next, besides a queued apply.
let loadWanted = true;
let previewDue = false;
let plotDue = false;
let debounceTimer = 0;
let settleTimer = 0;
let editPending = false;
let recoveryTimer = 0;
let recoveryAttempt = 0;
let failingSince = 0;

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
  clearTimeout(settleTimer);
  plotDue = false;
  settleTimer = setTimeout(() => {
    plotDue = true;
    pump();
  }, SETTLE_MS);
}

function readGet(data) {
  const intervals = {};
  const stored = {};
  for (const key of KEYS) {
    const interval = data[`${key}Interval`];
    if (!Array.isArray(interval) || interval.length !== 2 || !interval.every(Number.isFinite) ||
        !Number.isFinite(data[key])) {
      throw new api.ApiError('unreadable', 'The camera\'s answer could not be read.');
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

function nextPlotSpeed(scene) {
  const done = state.plot.geometry === geometryKey(scene) ? state.plot.points : [];
  return plotSpeeds(state.intervals.carSpeed).find((s) => !done.some((p) => p.speed === s));
}

function computed(scene, settings) {
  state.settings = settings;
  state.settingsFor = scene;
  if (sameScene(scene, state.stored)) state.storedSettings = settings;
  addPlotPoint(scene, settings);
}

async function load() {
  const { intervals, stored } = readGet(await api.get(onBusy));
  state.intervals = intervals;
  state.stored = stored;
  state.fields = Object.fromEntries(KEYS.map((k) => [k, shownField(k, stored[k], state.unit)]));
  if (!sameScene(state.refused, stored)) {
    state.refused = null;
    remember(REFUSED_KEY, null);
  }
  previewDue = true;
}

async function preview(scene) {
  const settings = await api.set(scene, false, onBusy);
  computed(scene, settings);
  settleLater();
  const c = check();
  if (!editPending && sameScene(c.values, scene)) {
    announce(`Max shutter ${shutterText(settings.maxShutter)}, ${settingsOf(state, c)}.`);
  }
}

async function apply(scene) {
  let settings;
  try {
    settings = await api.apply(scene, onBusy);
  } catch (e) {
    if (!e.stored) throw e;
    state.stored = scene;
    if (sameScene(state.settingsFor, scene)) state.storedSettings = state.settings;
    state.applied = null;
    state.refused = scene;
    remember(REFUSED_KEY, scene);
    return;
  }
  state.stored = scene;
  state.applied = { at: new Date(), scene };
  state.refused = null;
  remember(REFUSED_KEY, null);
  computed(scene, settings);
  settleLater();
}

async function plotPoint(scene, speed) {
  const settings = await api.set({ ...scene, carSpeed: speed }, false, onBusy);
  addPlotPoint({ ...scene, carSpeed: speed }, settings);
}

// Asks again for what failed; `fresh` when a person asked, which starts the
// pauses over.
function retryNow(fresh) {
  clearTimeout(recoveryTimer);
  if (fresh) {
    recoveryAttempt = 0;
    failingSince = 0;
  }
  const what = state.failure?.retry;
  if (what === 'apply') {
    onApply();
    return;
  }
  if (what === 'load' || !state.intervals) loadWanted = true;
  else if (what) previewDue = true;
  pump();
}

function recoverLater() {
  if (!failingSince) failingSince = Date.now();
  if (Date.now() - failingSince > GIVE_UP_MS) {
    state.failure.auto = false;
    return;
  }
  const pause = RECOVERY_PAUSES_MS[Math.min(recoveryAttempt++, RECOVERY_PAUSES_MS.length - 1)];
  clearTimeout(recoveryTimer);
  recoveryTimer = setTimeout(() => retryNow(false), pause);
}

async function run(kind, job) {
  state.working = kind;
  render();
  try {
    await job();
    // A failed apply stays said until an apply, a load or an edit.
    if (kind === 'apply' || kind === 'load' || state.failure?.retry !== 'apply') state.failure = null;
    clearTimeout(recoveryTimer);
    recoveryAttempt = 0;
    failingSince = 0;
  } catch (e) {
    const text = e instanceof api.ApiError ? e.message : `The page failed: ${e.message}`;
    // An apply is never repeated without being asked for.
    const auto = kind !== 'apply' && api.passing(e);
    state.failure = { text, retry: kind === 'plot' ? 'preview' : kind, auto };
    // A failed plot point would be asked for again at once; wait.
    if (kind === 'plot') plotDue = false;
    if (auto) recoverLater();
    if (state.settings && !sameScene(check().values, state.settingsFor)) {
      announce('The settings shown are for earlier values.');
    }
  } finally {
    state.working = null;
    state.busyPauseMs = null;
    render();
    pump();
  }
}

// Starts the next request when none is under way.
function pump() {
  if (state.working) return;
  const c = check();
  if (loadWanted) {
    loadWanted = false;
    run('load', load);
  } else if (state.applyQueued) {
    state.applyQueued = false;
    if (c.valid) run('apply', () => apply(c.values));
  } else if (previewDue && c.valid) {
    previewDue = false;
    // Back at the scene already computed: only the plot may still want work.
    if (sameScene(c.values, state.settingsFor)) settleLater();
    else run('preview', () => preview(c.values));
  } else if (plotDue && c.valid && sameScene(c.values, state.settingsFor)) {
    const speed = nextPlotSpeed(c.values);
    if (speed === undefined) plotDue = false;
    else run('plot', () => plotPoint(c.values, speed));
  }
}

function previewNow() {
  clearTimeout(debounceTimer);
  editPending = false;
  previewDue = true;
  pump();
}

function onFieldChange(key, text) {
  state.fields[key] = { text, exact: null };
  // A failed apply or a refused one is over once the values change.
  if (state.failure && (state.failure.retry ?? 'apply') === 'apply') state.failure = null;
  clearTimeout(debounceTimer);
  clearTimeout(settleTimer);
  editPending = true;
  previewDue = false;
  plotDue = false;
  debounceTimer = setTimeout(previewNow, DEBOUNCE_MS);
  render();
}

function onCommit() {
  if (editPending) previewNow();
}

function onSlide(key, value) {
  onFieldChange(key, fieldNumber(value, 6));
}

function onUnit(unit) {
  if (unit === state.unit) return;
  const c = check();
  state.unit = unit;
  remember(UNIT_KEY, unit);
  if ('carSpeed' in c.values) state.fields.carSpeed = shownField('carSpeed', c.values.carSpeed, unit);
  render();
}

function onApply() {
  if (state.working === 'apply' || state.applyQueued || !state.intervals) return;
  const c = check();
  if (!c.valid) {
    state.failure = { text: 'Correct the marked values first. Nothing was sent.', retry: null, auto: false };
    render();
    focusFirstError(c);
    return;
  }
  clearTimeout(debounceTimer);
  editPending = false;
  previewDue = false;
  state.applyQueued = true;
  state.failure = null;
  render();
  pump();
}

function onRevert() {
  clearTimeout(debounceTimer);
  editPending = false;
  previewDue = false;
  state.applyQueued = false;
  state.failure = null;
  loadWanted = true;
  render();
  pump();
}

// Leaving with values not applied, or with an apply under way, asks first.
function onLeave(event) {
  if (!dirty(check()) && state.working !== 'apply' && !state.applyQueued) return;
  event.preventDefault();
  event.returnValue = '';
}

let recordShown = '';

function render() {
  const c = check();
  const changed = dirty(c);
  renderForm(state, c);
  renderResults(state, c);
  renderStatus(state, changed);
  $('apply').setAttribute('aria-disabled',
    state.working === 'apply' || state.applyQueued || !state.intervals ? 'true' : 'false');

  const complete = KEYS.every((k) => k in c.values);
  renderDiagram($('diagram'), complete ? c.values : null, state.unit);

  const plotted = c.valid && state.plot.geometry === geometryKey(c.values) ? state.plot.points : [];
  const marker = c.valid && sameScene(c.values, state.settingsFor)
    ? { speed: c.values.carSpeed, shutter: state.settings.maxShutter } : null;
  const total = state.intervals ? plotSpeeds(state.intervals.carSpeed).length : 0;
  const done = plotted.length >= total && total > 0 && nextPlotSpeed(c.values) === undefined;
  renderPlot($('plot'), state.intervals?.carSpeed, plotted, marker, done, state.unit);
  $('plot-note').textContent = state.intervals && !done ? 'The curve fills in once the values stop changing.' : '';

  const record = JSON.stringify([state.stored, state.storedSettings, state.unit]);
  if (record !== recordShown) {
    recordShown = record;
    renderRecord(state);
  }
}

state.unit = ['m/s', 'km/h', 'mph'].includes(remembered(UNIT_KEY)) ? remembered(UNIT_KEY) : 'm/s';
state.refused = remembered(REFUSED_KEY);
bindForm({ change: onFieldChange, commit: onCommit, slide: onSlide, unit: onUnit });
$('scene').addEventListener('submit', (event) => event.preventDefault());
$('apply').addEventListener('click', onApply);
$('revert').addEventListener('click', onRevert);
$('retry').addEventListener('click', () => retryNow(true));
window.addEventListener('resize', render);
window.addEventListener('beforeunload', onLeave);
window.addEventListener('beforeprint', () => renderRecord(state));
render();
pump();
