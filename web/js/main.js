// SPDX-License-Identifier: MIT
// The page's wiring: events change the state, one scheduler sends at most
// one request at a time (load, apply, preview, then the plot's points), and
// render() draws everything from the state.

import * as api from './api.js';
import { state, KEYS, geometryKey, sameScene } from './state.js';
import { bindForm, renderForm, validate, focusFirstError, formatNumber } from './form.js';
import { renderDiagram } from './diagram.js';
import { renderPlot, plotSpeeds } from './plot.js';

const DEBOUNCE_MS = 250;
const SETTLE_MS = 600;

// What the scheduler is asked to do next, besides a queued apply.
let loadWanted = true;
let previewDue = false;
let plotDue = false;
let debounceTimer = 0;
let settleTimer = 0;

const $ = (id) => document.getElementById(id);

function check() {
  return validate(state.texts, state.intervals);
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

function hhmm(date) {
  return `${String(date.getHours()).padStart(2, '0')}:${String(date.getMinutes()).padStart(2, '0')}`;
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

async function load() {
  const { intervals, stored } = readGet(await api.get(onBusy));
  state.intervals = intervals;
  state.stored = stored;
  state.texts = Object.fromEntries(KEYS.map((k) => [k, String(stored[k])]));
  if (state.notice?.kind === 'error') state.notice = null;
  previewDue = true;
}

async function preview(scene) {
  const settings = await api.set(scene, false, onBusy);
  state.settings = settings;
  state.settingsFor = scene;
  addPlotPoint(scene, settings);
  if (state.notice?.kind === 'error') state.notice = null;
  settleLater();
}

async function apply(scene) {
  const settings = await api.set(scene, true, onBusy);
  state.settings = settings;
  state.settingsFor = scene;
  state.stored = scene;
  addPlotPoint(scene, settings);
  state.notice = { kind: 'success', text: `Applied at ${hhmm(new Date())}.` };
  settleLater();
}

async function plotPoint(scene, speed) {
  const settings = await api.set({ ...scene, carSpeed: speed }, false, onBusy);
  addPlotPoint({ ...scene, carSpeed: speed }, settings);
}

async function run(kind, job) {
  state.working = kind;
  render();
  try {
    await job();
  } catch (e) {
    const text = e instanceof api.ApiError ? e.message : `The page failed: ${e.message}`;
    state.notice = { kind: 'error', text };
    // A failed plot point would be asked for again at once; wait for a change.
    if (kind === 'plot') plotDue = false;
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

function onFieldChange(key, text) {
  state.texts[key] = text;
  clearTimeout(debounceTimer);
  clearTimeout(settleTimer);
  previewDue = false;
  plotDue = false;
  debounceTimer = setTimeout(() => {
    previewDue = true;
    pump();
  }, DEBOUNCE_MS);
  render();
}

function onApply(event) {
  event.preventDefault();
  if (state.working === 'apply' || state.applyQueued || !state.intervals) return;
  const c = check();
  if (!c.valid) {
    state.notice = { kind: 'error', text: 'Correct the marked values first. Nothing was sent.' };
    render();
    focusFirstError(c);
    return;
  }
  clearTimeout(debounceTimer);
  previewDue = false;
  state.applyQueued = true;
  state.notice = null;
  render();
  pump();
}

function onRevert() {
  clearTimeout(debounceTimer);
  previewDue = false;
  state.applyQueued = false;
  state.notice = null;
  loadWanted = true;
  render();
  pump();
}

const IR_CUT = { on: 'On', off: 'Off', auto: 'Automatic' };

function renderResults(c) {
  const s = state.settings;
  if (s) {
    const us = s.maxShutter;
    $('r-shutter').textContent = `${formatNumber(us, 0)} µs, about 1/${Math.round(1e6 / us)} s`;
    $('r-gain').textContent = formatNumber(s.maxGain, 1);
    $('r-wdr').textContent = s.wdr ? 'On' : 'Off';
    $('r-ircut').textContent = IR_CUT[s.irCut] ?? String(s.irCut);
    $('r-iris').textContent = s.irisEnabled ? 'Automatic' : `Fixed at position ${s.irisPosition}`;
  }
  const current = c.valid && sameScene(c.values, state.settingsFor);
  let note = '';
  if (!state.intervals) note = state.working === 'load' ? 'Reading the stored scene…' : '';
  else if (!c.valid) note = 'Correct the marked values to see their settings.';
  else if (!current && state.notice?.kind === 'error') note = 'These settings are for earlier values.';
  else if (!current) note = 'Working out the settings…';
  $('results-note').textContent = note;
  $('results').classList.toggle('stale', !!s && !current);
}

function renderNotice() {
  const el = $('notice');
  const notice = state.busyPauseMs !== null
    ? { kind: 'busy', text: api.sentenceForBusy(state.busyPauseMs) }
    : state.notice;
  el.textContent = notice ? notice.text : '';
  el.className = `notice ${notice ? notice.kind : ''}`;
}

function render() {
  const c = check();
  renderForm(state, c);
  renderResults(c);
  renderNotice();

  const applying = state.working === 'apply' || state.applyQueued;
  $('apply').textContent = applying ? 'Applying…' : 'Apply';
  $('apply').setAttribute('aria-disabled', applying || !state.intervals ? 'true' : 'false');
  const changed = state.stored && KEYS.some((k) => c.values[k] !== state.stored[k]);
  $('dirty').textContent = changed ? 'Not applied yet' : '';

  const complete = KEYS.every((k) => k in c.values);
  renderDiagram($('diagram'), complete ? c.values : null);

  const plotted = c.valid && state.plot.geometry === geometryKey(c.values) ? state.plot.points : [];
  const marker = c.valid && sameScene(c.values, state.settingsFor)
    ? { speed: c.values.carSpeed, shutter: state.settings.maxShutter } : null;
  const total = state.intervals ? plotSpeeds(state.intervals.carSpeed).length : 0;
  const done = plotted.length >= total && total > 0 && nextPlotSpeed(c.values) === undefined;
  renderPlot($('plot'), state.intervals?.carSpeed, plotted, marker, done);
  $('plot-note').textContent = state.intervals && !done ? 'The curve fills in once the values stop changing.' : '';
}

bindForm(onFieldChange);
$('scene').addEventListener('submit', onApply);
$('revert').addEventListener('click', onRevert);
window.addEventListener('resize', render);
render();
pump();
