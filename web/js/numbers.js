// SPDX-License-Identifier: MIT
// Numbers as people type and read them, and the speed units; every number
// the page writes, for people or into a drawing, is formatted here, in the
// language the page speaks, from one Intl.NumberFormat per language and
// number of decimals: one digit system in every line. A typed number may use
// Latin, Arabic-Indic or Persian digits and ".", "," or the Arabic decimal
// sign, and nothing else; a field holds the number as the language writes
// it, which reads back as the same. The daemon always gets metres and
// metres per second.

import { language, t } from './text.js';

// Each unit's conversion to and from m/s, exactly as the unit is defined.
export const SPEED_UNITS = {
  'm/s': { toSI: (v) => v, fromSI: (v) => v },
  'km/h': { toSI: (v) => v / 3.6, fromSI: (v) => v * 3.6 },
  mph: { toSI: (v) => v * 0.44704, fromSI: (v) => v / 0.44704 },
};

// Signs and digits as typed, after the direction marks that a right-to-left
// text puts around numbers are taken off and other digits made Latin.
const NUMBER = /^([-+\u2212]?)(\d*)(?:[.,\u066b](\d*))?$/;
const MARKS = /[\u061c\u200e\u200f\u2066-\u2069]/g;
// Arabic-Indic (U+0660...) and Persian (U+06F0...) digits: the low four bits
// are the digit.
const OTHER_DIGITS = /[\u0660-\u0669\u06f0-\u06f9]/g;

// {value} for a number as typed, or {error} with the key of the sentence to
// show.
export function parseNumber(text) {
  const plain = text.replace(MARKS, '').replace(OTHER_DIGITS, (d) => String(d.charCodeAt(0) & 0xf)).trim();
  if (plain === '') return { error: 'enterNumber' };
  const m = NUMBER.exec(plain);
  if (!m || (m[2] === '' && !m[3])) return { error: 'notNumber' };
  const sign = m[1] === '-' || m[1] === '\u2212' ? '-' : '';
  // Adding 0 turns a typed "-0" into 0.
  return { value: Number(`${sign}${m[2] || '0'}.${m[3] || '0'}`) + 0 };
}

const formats = new Map();

// As the page's language writes it, at most `digits` decimals and at least
// `least`; a value that rounds to zero without its sign.
function written(value, digits, least = 0) {
  const { locale } = language();
  const key = `${locale}|${digits}|${least}`;
  let f = formats.get(key);
  if (!f) {
    f = new Intl.NumberFormat(locale,
      { maximumFractionDigits: digits, minimumFractionDigits: least, useGrouping: false });
    formats.set(key, f);
  }
  return f.format(Math.abs(value) < 0.5 * 10 ** -digits ? 0 : value);
}

// A number for people: a real minus sign, and in right-to-left text the
// number isolated, so that its sign stays where its language puts it
// whatever stands around it.
export function formatNumber(value, digits = 2, least = 0) {
  const text = written(value, digits, least).replace('-', '\u2212');
  return language().dir === 'rtl' && text.includes('\u2212') ? `\u2068${text}\u2069` : text;
}

// As formatNumber, for a field the person edits: the minus sign they type.
// Arabic keeps the mark before its sign that puts the sign on its side in a
// field that runs left to right (see style.css), as a typed number in Latin
// digits needs.
export function fieldNumber(value, digits = 2) {
  return written(value, digits);
}

const UNIT_KEYS = { m: 'unitM', 'm/s': 'unitMs', 'km/h': 'unitKmh', mph: 'unitMph', 'µs': 'unitUs', mm: 'unitMm' };

// A unit's name in the page's language.
export function unitName(unit) {
  return t(UNIT_KEYS[unit]);
}

// A number with its unit: "3 m".
export function quantity(value, unit, digits = 2) {
  return t('quantity', { value: formatNumber(value, digits), unit: unitName(unit) });
}

// A speed in m/s shown in `unit`: "130 km/h".
export function formatSpeed(speed, unit, digits = 1) {
  return quantity(SPEED_UNITS[unit].fromSI(speed), unit, digits);
}

// A value in m or m/s shown in a field's unit {name, fromSI, digits}: "3 m".
export function formatIn(value, unit) {
  return quantity(unit.fromSI(value), unit.name, unit.digits);
}

// A time in microseconds, whole: "4123 µs".
export function formatMicroseconds(us) {
  return quantity(us, 'µs', 0);
}

// A coordinate or length in a drawing's markup: one decimal at most, in no
// locale.
export function px(value) {
  return Number(value.toFixed(1));
}

// An interval [min, max] converted into a unit and rounded inwards to
// `digits` decimals, so that every value shown inside it is inside it.
export function intervalIn(interval, convert, digits) {
  const scale = 10 ** digits;
  const lo = convert(interval[0]);
  const hi = convert(interval[1]);
  return [Math.ceil(lo * scale - 1e-9) / scale, Math.floor(hi * scale + 1e-9) / scale];
}

const times = new Map();

// A time (with the date when `withDate`), one format everywhere, in the
// page's own language: the status line and the printed record agree.
export function formatTime(date, withDate = false) {
  const { locale } = language();
  const key = `${locale}|${withDate}`;
  if (!times.has(key)) {
    times.set(key, new Intl.DateTimeFormat(locale, withDate ? { dateStyle: 'long', timeStyle: 'short' }
      : { timeStyle: 'short' }));
  }
  return times.get(key).format(date);
}
