// SPDX-License-Identifier: MIT
// The four scene fields and the speed unit: text fields with sliders kept
// in step, their validation against the intervals the camera gave, and
// their rendering.

import { KEYS } from './state.js';
import { SPEED_UNITS, fieldNumber, formatNumber, formatSpeed, intervalIn, parseNumber } from './numbers.js';

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
  return `${formatNumber(lo)} to ${formatNumber(hi)} ${unitOf(key, speedUnit).name}`;
}

// A field's state when the page writes a value (m or m/s) into it.
export function shownField(key, value, speedUnit) {
  const u = unitOf(key, speedUnit);
  return { text: fieldNumber(u.fromSI(value), u.digits), exact: value };
}

// The scene values of the fields in m and m/s, and a sentence for each
// field that is not a number within its interval. Without intervals nothing
// is valid yet.
export function validate(fields, intervals, speedUnit) {
  const values = {};
  const errors = {};
  for (const key of KEYS) {
    const u = unitOf(key, speedUnit);
    const { text, exact } = fields[key];
    const typed = exact === null ? parseNumber(text) : { value: u.fromSI(exact) };
    if (typed.error) {
      errors[key] = typed.error;
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
        errors[key] = `Must be from ${rangeText(key, intervals[key], speedUnit)}.`;
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
    slider: document.getElementById(`${key}-slider`),
    error: document.getElementById(`${key}-error`),
    range: document.querySelector(`.field[data-key="${key}"] .range`),
  };
}

// on.change(key, text) when a field is typed in, on.commit(key) on Enter or
// when the field is left, on.slide(key, value in its unit) when a slider
// moves, on.unit(name) when the speed unit is chosen.
export function bindForm(on) {
  for (const key of KEYS) {
    const { field, slider } = elements(key);
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
  const { field, slider, error, range } = elements(key);
  const u = unitOf(key, state.unit);
  const interval = state.intervals?.[key];
  field.disabled = slider.disabled = !interval;
  field.placeholder = interval ? '' : '–';
  range.textContent = interval ? rangeText(key, interval, state.unit) : '–';
  const { text, exact } = state.fields[key];
  if (field.value !== text) field.value = text;
  if (interval && key in check.values) {
    // The slider shows what the field shows.
    const shown = exact === null ? parseNumber(text).value : Number(u.fromSI(exact).toFixed(u.digits));
    const [lo, hi] = shownInterval(key, interval, state.unit);
    slider.min = lo;
    slider.max = hi;
    slider.step = stepFor(shown, lo, u.step);
    slider.value = shown;
    slider.setAttribute('aria-valuetext', `${formatNumber(shown, 6)} ${u.name}`);
  }
  // Written only when it changes, so that it is announced once.
  const message = interval ? check.errors[key] ?? '' : '';
  if (error.textContent !== message) error.textContent = message;
  field.setAttribute('aria-invalid', message ? 'true' : 'false');
}

export function renderForm(state, check) {
  for (const key of KEYS) renderField(key, state, check);
  document.querySelector('.field[data-key="carSpeed"] .unit').textContent = state.unit;
  for (const radio of document.querySelectorAll('input[name="unit"]')) radio.checked = radio.value === state.unit;
  const speed = check.values.carSpeed;
  document.getElementById('carSpeed-also').textContent = speed === undefined ? ''
    : formatSpeed(speed, state.unit === 'm/s' ? 'km/h' : 'm/s');
}

// Moves the focus to the first field holding a wrong value.
export function focusFirstError(check) {
  const key = KEYS.find((k) => check.errors[k]);
  if (key) document.getElementById(key).focus();
}
