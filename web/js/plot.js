// SPDX-License-Identifier: MIT
// The plot of max shutter against vehicle speed across the speed interval,
// with the current speed marked. The curve is the camera's own rule drawn
// through the camera's answers: the max shutter is the time in which a
// vehicle moves the allowed blur across the line of sight, so it falls as
// one over the speed across it, within the camera's shortest and longest
// shutter times. One answer inside those bounds fixes the whole curve, so
// the preview that the page asks for anyway is all it takes; answers at a
// bound need a few more points. Speeds are asked for in m/s and drawn in the
// person's unit.

import { SPEED_UNITS, formatMicroseconds, formatNumber, formatSpeed, px, unitName } from './numbers.js';
import { escapeText, t } from './text.js';

export const SHORTEST_US = 100;
export const LONGEST_US = 10000;
// Asked for at most, beyond the preview, when answers sit at the bounds.
const MAX_POINTS = 6;
const DRAWN = 64;

// The speed across the line of sight (m/s, before the camera counts anything
// under 1 m/s as 1 m/s) and the angle between the road and the line of
// sight (degrees), with the camera's own bounds on the distances.
export function crossing(scene) {
  const along = Math.min(scene.carDistance, 1000);
  const aside = Math.sqrt(scene.cameraHeight * scene.cameraHeight + scene.roadOffset * scene.roadOffset);
  const distance = Math.max(Math.sqrt(along * along + aside * aside), 5);
  return {
    speed: (aside * scene.carSpeed) / distance,
    angle: (Math.asin(Math.min(1, aside / distance)) * 180) / Math.PI,
  };
}

const counted = (scene, speed) => Math.max(crossing({ ...scene, carSpeed: speed }).speed, 1);
const inside = (p) => p.shutter > SHORTEST_US && p.shutter < LONGEST_US;

// The curve's constant (µs times m/s) from an answer inside the bounds, or
// null.
function constantOf(scene, points) {
  const p = points.find(inside);
  return p ? p.shutter * counted(scene, p.speed) : null;
}

// The next speed to ask about for the curve of `scene` (the geometry; its
// speed is the preview's), given the answers `points` [{speed, shutter}]
// for that geometry, or undefined once the curve is known. The max shutter
// never rises with the speed: answers at the longest time lie below those
// at the shortest.
export function nextCurveSpeed(scene, points, [min, max]) {
  if (!points.length) return Math.min(max, Math.max(min, scene.carSpeed));
  if (constantOf(scene, points) !== null || points.length > MAX_POINTS) return undefined;
  const slow = points.filter((p) => p.shutter >= LONGEST_US).map((p) => p.speed);
  const fast = points.filter((p) => p.shutter <= SHORTEST_US).map((p) => p.speed);
  const hi = slow.length ? Math.max(...slow) : null;
  const lo = fast.length ? Math.min(...fast) : null;
  if (lo === null) return hi >= max ? undefined : max;
  if (hi === null) return lo <= min ? undefined : min;
  // Between the two bounds the curve falls steeply; a whisker is as good as
  // a point.
  if (lo - hi < 0.01) return undefined;
  return Number((hi > 0 ? Math.sqrt(hi * lo) : (hi + lo) / 2).toFixed(3));
}

// The points to draw across the interval: the rule's curve once its
// constant is known, through the corners where it meets the bounds; else
// the answers as they stand.
export function curvePoints(scene, points, [min, max]) {
  const k = constantOf(scene, points);
  if (k === null) return [...points].sort((a, b) => a.speed - b.speed);
  const a = crossing({ ...scene, carSpeed: 1 }).speed;
  const speeds = [];
  for (let i = 0; i < DRAWN; i++) speeds.push(min + (max - min) * (i / (DRAWN - 1)) ** 2);
  if (a > 0) speeds.push(1 / a, k / LONGEST_US / a, k / SHORTEST_US / a);
  return [...new Set(speeds.filter((v) => v >= min && v <= max))].sort((x, y) => x - y)
    .map((speed) => ({ speed, shutter: Math.min(LONGEST_US, Math.max(SHORTEST_US, k / counted(scene, speed))) }));
}

// The band above the plotting area holds the current value's label, so it
// can meet neither the curve nor the ticks.
const PAD = { left: 56, right: 16, top: 34, bottom: 40 };
const LABEL_CHAR_PX = 7.5;

function ticks(min, max, count) {
  const span = max - min || 1;
  const raw = span / count;
  const magnitude = 10 ** Math.floor(Math.log10(raw));
  const step = [1, 2, 2.5, 5, 10].map((f) => f * magnitude).find((s) => s >= raw);
  const out = [];
  for (let v = Math.ceil(min / step) * step; v <= max + step * 1e-9; v += step) out.push(Number(v.toFixed(6)));
  return out;
}

// points: [{speed (m/s), shutter}] to draw for the current geometry; current:
// {speed, shutter} or null; complete: whether the curve is known whole;
// unit: the speed unit to draw in. Drawn at the element's own width, so the
// text keeps its size from phone to desktop.
export function renderPlot(el, interval, points, current, complete, unit) {
  if (!interval) return;
  const inUnit = SPEED_UNITS[unit].fromSI;
  const W = Math.max(280, Math.round(el.clientWidth || 560));
  const H = W < 600 ? 240 : 300;
  const [xmin, xmax] = interval.map(inUnit);
  const sorted = [...points].sort((a, b) => a.speed - b.speed);
  const top = Math.max(1000, ...sorted.map((p) => p.shutter), current ? current.shutter : 0);
  const yticks = ticks(0, top, 5);
  const ymax = yticks[yticks.length - 1] >= top ? yticks[yticks.length - 1] : top;
  const x = (s) => PAD.left + ((inUnit(s) - xmin) / (xmax - xmin || 1)) * (W - PAD.left - PAD.right);
  const xu = (u) => PAD.left + ((u - xmin) / (xmax - xmin || 1)) * (W - PAD.left - PAD.right);
  const y = (t) => H - PAD.bottom - (t / ymax) * (H - PAD.top - PAD.bottom);

  const parts = [];
  for (const t of yticks) {
    parts.push(`<line x1="${PAD.left}" x2="${W - PAD.right}" y1="${px(y(t))}" y2="${px(y(t))}" class="grid"/>`);
    parts.push(`<text x="${PAD.left - 6}" y="${px(y(t) + 4)}" text-anchor="end" class="tick">${formatNumber(t, 0)}</text>`);
  }
  for (const u of ticks(xmin, xmax, W < 600 ? 5 : 8)) {
    parts.push(`<text x="${px(xu(u))}" y="${H - PAD.bottom + 16}" text-anchor="middle" class="tick">${formatNumber(u, 1)}</text>`);
  }
  parts.push(`<line x1="${PAD.left}" x2="${W - PAD.right}" y1="${H - PAD.bottom}" y2="${H - PAD.bottom}" class="axis"/>`);
  const middle = (PAD.top + H - PAD.bottom) / 2;
  parts.push(`<text x="${(PAD.left + W - PAD.right) / 2}" y="${H - 6}" text-anchor="middle" class="label">` +
    `${escapeText(t('speedAxis', { unit: unitName(unit) }))}</text>`);
  parts.push(`<text x="14" y="${middle}" text-anchor="middle" class="label" transform="rotate(-90 14 ${middle})">` +
    `${escapeText(t('shutterAxis', { unit: unitName('µs') }))}</text>`);
  if (sorted.length > 1) {
    const d = sorted.map((p, i) => `${i ? 'L' : 'M'}${px(x(p.speed))},${px(y(p.shutter))}`).join(' ');
    parts.push(`<path d="${d}" class="curve${complete ? '' : ' partial'}"/>`);
  }
  const [slowest, fastest] = [sorted[0], sorted[sorted.length - 1]];
  let desc = complete && sorted.length
    ? t('curveFrom', { slowTime: formatMicroseconds(slowest.shutter), slow: formatSpeed(slowest.speed, unit),
      fastTime: formatMicroseconds(fastest.shutter), fast: formatSpeed(fastest.speed, unit) })
    : t('curveComputing');
  if (current) {
    const cx = px(x(current.speed));
    const cy = px(y(current.shutter));
    const label = t('timeAt', { time: formatMicroseconds(current.shutter), speed: formatSpeed(current.speed, unit) });
    // Centred over the marker, moved in where it would leave the area.
    const half = (label.length * LABEL_CHAR_PX) / 2;
    const lx = Math.min(Math.max(cx, PAD.left + half), W - PAD.right - half);
    parts.push(`<line x1="${cx}" x2="${cx}" y1="${PAD.top - 8}" y2="${H - PAD.bottom}" class="marker-line"/>`);
    parts.push(`<circle cx="${cx}" cy="${cy}" r="5" class="marker"/>`);
    parts.push(`<text x="${px(lx)}" y="${PAD.top - 14}" text-anchor="middle" class="marker-label">${escapeText(label)}</text>`);
    desc += ` ${t('currentSpeed', { speed: formatSpeed(current.speed, unit), time: formatMicroseconds(current.shutter) })}`;
  }
  el.innerHTML = `<svg viewBox="0 0 ${W} ${H}" role="img" aria-labelledby="plot-t plot-d">` +
    `<title id="plot-t">${escapeText(t('plotTitle'))}</title><desc id="plot-d">${escapeText(desc)}</desc>${parts.join('')}</svg>`;
}
