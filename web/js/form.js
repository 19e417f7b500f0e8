// SPDX-License-Identifier: MIT
// The four scene fields and the speed unit: text fields with sliders kept
// in step, their validation against the intervals the camera gave, and
// their rendering.

import { KEYS } from './state.js';
import { t } from './text.js';
import {
  SPEED_UNITS, fieldNumber, formatNumber, formatSpeed, intervalIn, parseNumber, quantity, unitName,
} from './numbers.js';

const METRES = { name: 'm', toSI: (v) => v, fromSI: (v) => v, digits: 2 };
const SLIDER_STEPS = { roadOffset: 0.1, carDistance: 0.5, cameraHeight: 0.1 };

// How a field's values are typed and shown: unit name, conversion to and
// from m or m/s, decimals shown, and the slider's usual step.
export function unitOf(key, speedUnit) {
  if (key !== 'carSpeed') return { ...METRES, step: SLIDER_STEPS[key] };
  return { name: speedUnit, ...SPEED_UNITS[speedUnit], digits: 1, step: speedUnit === 'm/s' ? 0.5 : 1 };
}

function shownInterval(key, interval, speedUnit) {
  const u = unitOf(key, speedUnit);
  return intervalIn(interval, u.fromSI, u.digits);
}

function rangeText(key, interval, speedUnit) {
  const [lo, hi] = shownInterval(key, interval, speedUnit);
  return t('range', { min: formatNumber(lo), max: formatNumber(hi), unit: unitName(unitOf(key, speedUnit).name) });
}

// A field's state when the page writes a value (m or m/s) into it.
export function shownField(key, value, speedUnit) {
  const u = unitOf(key, speedUnit);
  return { text: fieldNumber(u.fromSI(value), u.digits), exact: value };
}

// The speed field once the unit changes from `from` to `to`: a number is
// converted, inside its interval or not; a text that is no number stays.
export function switchedSpeed(field, from, to) {
  if (field.exact !== null) return shownField('carSpeed', field.exact, to);
  const typed = parseNumber(field.text);
  return typed.error ? field : shownField('carSpeed', SPEED_UNITS[from].toSI(typed.value), to);
}

// The scene values of the fields in m and m/s, and what to say ({key,
// values}) of each field that is not a number within its interval. Without intervals nothing
// is valid yet.
export function validate(fields, intervals, speedUnit) {
  const values = {};
  const errors = {};
  for (const key of KEYS) {
    const u = unitOf(key, speedUnit);
    const { text, exact } = fields[key];
    const typed = exact === null ? parseNumber(text) : { value: u.fromSI(exact) };
    if (typed.error) {
      errors[key] = { key: typed.error };
      continue;
    }
    let value = exact ?? u.toSI(typed.value);
    if (intervals) {
      const [lo, hi] = intervals[key];
      // A typed value is held against the interval in its own unit, so a
      // conversion's last bit cannot refuse a bound; that bit is then taken
      // off by keeping the value inside.
      const inside = exact !== null ? lo <= exact && exact <= hi
        : u.fromSI(lo) <= typed.value && typed.value <= u.fromSI(hi);
      if (!inside) {
        errors[key] = { key: 'mustBeFrom', values: { range: rangeText(key, intervals[key], speedUnit) } };
        continue;
      }
      value = Math.min(hi, Math.max(lo, value));
    }
    values[key] = value;
  }
  return { values, errors, valid: !!intervals && Object.keys(errors).length === 0 };
}

function elements(key) {
  return {
    field: document.getElementById(key),
    label: document.querySelector(`label[for="${key}"]`),
    slider: document.getElementById(`${key}-slider`),
    error: document.getElementById(`${key}-error`),
    hint: document.getElementById(key === 'carSpeed' ? 'carSpeed-range' : `${key}-hint`),
  };
}

// Writes a text only when it changes: a live region says it once, and a
// render of an unchanged page touches nothing.
export function put(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

// The drawn thumb of a slider, and how near its middle a pointer must come
// down to take it (a 44 px target).
const THUMB_PX = 16;
const GRAB_PX = 22;
// How far a touch moves before it is a drag of the thumb or a scroll.
const SLOP_PX = 6;

// A slider takes no pointer itself (its track would jump to a touch, and a
// swipe that starts on it would change it as it scrolls the page): the
// thumb is dragged through its box, sideways only, and a vertical swipe or
// a tap beside the thumb leaves the value as it was. The keyboard works on
// the slider as ever.
function dragThumb(box, slider, slide) {
  let grab = null;
  const fraction = () => (Number(slider.value) - Number(slider.min)) / (Number(slider.max) - Number(slider.min) || 1);
  box.addEventListener('pointerdown', (event) => {
    if (slider.disabled || event.button !== 0) return;
    const r = slider.getBoundingClientRect();
    // A right-to-left page runs its sliders from the right.
    const sense = getComputedStyle(slider).direction === 'rtl' ? -1 : 1;
    const thumb = r.left + THUMB_PX / 2 + (sense > 0 ? fraction() : 1 - fraction()) * (r.width - THUMB_PX);
    if (Math.abs(event.clientX - thumb) > GRAB_PX) return;
    grab = { id: event.pointerId, x: event.clientX, y: event.clientY, value: Number(slider.value),
      width: r.width - THUMB_PX, sense, dragging: event.pointerType === 'mouse' };
    box.setPointerCapture(event.pointerId);
    slider.focus();
  });
  box.addEventListener('pointermove', (event) => {
    if (!grab || event.pointerId !== grab.id) return;
    const dx = event.clientX - grab.x;
    if (!grab.dragging) {
      if (Math.hypot(dx, event.clientY - grab.y) < SLOP_PX) return;
      // Up or down first: a scroll, which the browser takes on.
      if (Math.abs(dx) < Math.abs(event.clientY - grab.y)) {
        grab = null;
        return;
      }
      grab.dragging = true;
    }
    const min = Number(slider.min);
    const max = Number(slider.max);
    const step = Number(box.dataset.step) || 1;
    const raw = grab.value + ((grab.sense * dx) / (grab.width || 1)) * (max - min);
    const value = Math.min(max, Math.max(min, min + Math.round((raw - min) / step) * step));
    if (value !== Number(slider.value)) slide(Number(value.toFixed(6)));
  });
  const end = (event) => {
    if (grab && event.pointerId === grab.id) grab = null;
  };
  box.addEventListener('pointerup', end);
  box.addEventListener('pointercancel', end);
}

// on.change(key, text) when a field is typed in, on.commit(key) on Enter or
// when the field is left, on.slide(key, value in its unit) when a slider
// moves, on.unit(name) when the speed unit is chosen.
export function bindForm(on) {
  for (const key of KEYS) {
    const { field, slider } = elements(key);
    dragThumb(slider.parentElement, slider, (value) => on.slide(key, value));
    field.addEventListener('input', () => on.change(key, field.value));
    field.addEventListener('change', () => on.commit(key));
    field.addEventListener('keydown', (event) => {
      if (event.key !== 'Enter') return;
      event.preventDefault();
      on.commit(key);
    });
    slider.addEventListener('input', () => on.slide(key, Number(slider.value)));
  }
  for (const radio of document.querySelectorAll('input[name="unit"]')) {
    radio.addEventListener('change', () => on.unit(radio.value));
  }
}

// The fewest decimals (up to 6) that write v, or null.
function decimalsOf(v) {
  for (let d = 0; d <= 6; d++) {
    const scaled = v * 10 ** d;
    if (Math.abs(scaled - Math.round(scaled)) < 1e-6) return d;
  }
  return null;
}

// The slider's step: its usual one, unless the value lies between its
// marks; then one fine enough to hold the value exactly.
function stepFor(value, min, step) {
  const marks = (value - min) / step;
  if (Math.abs(marks - Math.round(marks)) < 1e-6) return String(step);
  const d = decimalsOf(value);
  return d === null ? 'any' : String(10 ** -d);
}

function renderField(key, state, check) {
  const { field, label, slider, error, hint } = elements(key);
  const u = unitOf(key, state.unit);
  const interval = state.intervals?.[key];
  // Nothing is typed before the stored scene is there to be changed.
  field.disabled = slider.disabled = !interval;
  field.placeholder = interval ? '' : t('loadingField');
  put(label, t(`${key}Label`, { unit: unitName(u.name) }));
  put(hint, t(`${key}Hint`, { range: interval ? rangeText(key, interval, state.unit) : '–' }));
  const { text, exact } = state.fields[key];
  if (field.value !== text) field.value = text;
  if (interval && key in check.values) {
    // The slider shows what the field shows.
    const shown = exact === null ? parseNumber(text).value : Number(u.fromSI(exact).toFixed(u.digits));
    const [lo, hi] = shownInterval(key, interval, state.unit);
    slider.min = lo;
    slider.max = hi;
    slider.step = stepFor(shown, lo, u.step);
    slider.parentElement.dataset.step = u.step;
    slider.value = shown;
    slider.setAttribute('aria-valuetext', quantity(shown, u.name, 6));
  }
  const said = interval ? check.errors[key] : null;
  const message = said ? t(said.key, said.values) : '';
  put(error, message);
  field.setAttribute('aria-invalid', message ? 'true' : 'false');
}

export function renderForm(state, check) {
  for (const key of KEYS) renderField(key, state, check);
  for (const radio of document.querySelectorAll('input[name="unit"]')) {
    radio.checked = radio.value === state.unit;
    put(radio.nextElementSibling, unitName(radio.value));
  }
  const speed = check.values.carSpeed;
  put(document.getElementById('carSpeed-also'), speed === undefined ? ''
    : formatSpeed(speed, state.unit === 'm/s' ? 'km/h' : 'm/s'));
}

// Moves the focus to the first field holding a wrong value.
export function focusFirstError(check) {
  const key = KEYS.find((k) => check.errors[k]);
  if (key) document.getElementById(key).focus();
}
