// SPDX-License-Identifier: MIT
// The four scene fields: number fields with sliders kept in step, their
// validation against the intervals the camera gave, and their rendering.

import { KEYS } from './state.js';

const UNITS = { roadOffset: 'm', carDistance: 'm', cameraHeight: 'm', carSpeed: 'm/s' };

export function formatNumber(value, digits = 2) {
  // At most `digits` decimals, no trailing zeros, a real minus sign.
  const text = Number(value.toFixed(digits)).toString();
  return text.replace('-', '−');
}

function rangeText(key, interval) {
  return `${formatNumber(interval[0])} to ${formatNumber(interval[1])} ${UNITS[key]}`;
}

// The scene values of the fields and a sentence for each field that is not
// a number within its interval. Without intervals nothing is valid yet.
export function validate(texts, intervals) {
  const values = {};
  const errors = {};
  for (const key of KEYS) {
    const text = texts[key].trim();
    const value = text === '' ? NaN : Number(text);
    if (!Number.isFinite(value)) {
      errors[key] = 'Enter a number.';
    } else if (intervals && (value < intervals[key][0] || value > intervals[key][1])) {
      errors[key] = `Must be from ${rangeText(key, intervals[key])}.`;
    } else {
      values[key] = value;
    }
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

// Calls onChange(key, text) whenever a field or its slider is changed.
export function bindForm(onChange) {
  for (const key of KEYS) {
    const { field, slider } = elements(key);
    field.addEventListener('input', () => onChange(key, field.value));
    slider.addEventListener('input', () => onChange(key, slider.value));
  }
}

export function renderForm(state, check) {
  for (const key of KEYS) {
    const { field, slider, error, range } = elements(key);
    const interval = state.intervals?.[key];
    field.disabled = slider.disabled = !interval;
    if (interval) {
      slider.min = field.min = interval[0];
      slider.max = field.max = interval[1];
      range.textContent = rangeText(key, interval);
    }
    // Leave a field alone while its text means the same number, so typing
    // "2." or "02" is not rewritten under the cursor.
    const text = state.texts[key];
    if (field.value !== text && !(field.value !== '' && Number(field.value) === Number(text))) {
      field.value = text;
    }
    if (key in check.values) slider.value = check.values[key];
    const message = check.errors[key] && interval ? check.errors[key] : '';
    error.textContent = message;
    field.setAttribute('aria-invalid', message ? 'true' : 'false');
  }
  const speed = check.values.carSpeed;
  document.getElementById('carSpeed-kmh').textContent =
    speed === undefined ? '' : `${formatNumber(speed * 3.6, 1)} km/h`;
}

// Moves the focus to the first field holding a wrong value.
export function focusFirstError(check) {
  const key = KEYS.find((k) => check.errors[k]);
  if (key) document.getElementById(key).focus();
}
