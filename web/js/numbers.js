// SPDX-License-Identifier: MIT
// Numbers as people type and read them, and the speed units; every number
// the page writes, for people or into a drawing, is formatted here. A typed
// number takes "." or "," as its decimal separator whatever the locale, and
// nothing else; numbers shown back use the browser's own separator. The
// daemon always gets metres and metres per second.

const LOCALE = globalThis.navigator?.language;

// Each unit's conversion to and from m/s, exactly as the unit is defined.
export const SPEED_UNITS = {
  'm/s': { toSI: (v) => v, fromSI: (v) => v },
  'km/h': { toSI: (v) => v / 3.6, fromSI: (v) => v * 3.6 },
  mph: { toSI: (v) => v * 0.44704, fromSI: (v) => v / 0.44704 },
};

const NUMBER = /^([-+\u2212]?)(\d*)(?:[.,](\d*))?$/;

// {value} for a number as typed, or {error} with the sentence to show.
export function parseNumber(text) {
  const t = text.trim();
  if (t === '') return { error: 'Enter a number.' };
  const m = NUMBER.exec(t);
  if (!m || (m[2] === '' && !m[3])) {
    return { error: 'Enter a number such as 12.5 or 12,5, without thousands separators.' };
  }
  const sign = m[1] === '-' || m[1] === '\u2212' ? '-' : '';
  // Adding 0 turns a typed "-0" into 0.
  return { value: Number(`${sign}${m[2] || '0'}.${m[3] || '0'}`) + 0 };
}

const formats = new Map();

function format(value, digits, locale = LOCALE) {
  const key = `${locale}|${digits}`;
  let f = formats.get(key);
  if (!f) {
    f = new Intl.NumberFormat(locale, { maximumFractionDigits: digits, useGrouping: false });
    formats.set(key, f);
  }
  // A value that rounds to zero is shown without its sign.
  return f.format(value).replace(/^-(0(?:\D0*)?)$/, '$1');
}

// At most `digits` decimals in the browser's locale, a real minus sign.
export function formatNumber(value, digits = 2) {
  return format(value, digits).replace('-', '\u2212');
}

// A field holds only what parseNumber reads back: the locale's decimal
// separator where it is "." or ",", but never a locale's own digits
// (Arabic, Persian, Bengali...) or the direction mark some put before the
// sign, which would make the page refuse the value it wrote itself.
const FIELD_SEPARATOR = new Intl.NumberFormat(LOCALE).formatToParts(0.5)
  .find((p) => p.type === 'decimal')?.value === ',' ? ',' : '.';

// As formatNumber, for a field the person edits: the minus sign they type.
export function fieldNumber(value, digits = 2) {
  return format(value, digits, 'en-US').replace('.', FIELD_SEPARATOR);
}

// A speed in m/s shown in `unit`: "130 km/h".
export function formatSpeed(speed, unit, digits = 1) {
  return `${formatNumber(SPEED_UNITS[unit].fromSI(speed), digits)} ${unit}`;
}

// A value in m or m/s shown in a field's unit {name, fromSI, digits}: "3 m".
export function formatIn(value, unit) {
  return `${formatNumber(unit.fromSI(value), unit.digits)} ${unit.name}`;
}

// A time in microseconds, whole: "4123 µs".
export function formatMicroseconds(us) {
  return `${formatNumber(us, 0)} µs`;
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
  const language = globalThis.document?.documentElement.lang || 'en';
  const key = `${language}|${withDate}`;
  if (!times.has(key)) {
    times.set(key, new Intl.DateTimeFormat(language, withDate ? { dateStyle: 'long', timeStyle: 'short' }
      : { timeStyle: 'short' }));
  }
  return times.get(key).format(date);
}
