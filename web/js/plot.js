// SPDX-License-Identifier: MIT
// The plot of max shutter against vehicle speed across the speed interval,
// from points the camera computed, with the current speed marked. Speeds
// are asked for in m/s and drawn in the person's unit.

import { SPEED_UNITS, formatMicroseconds, formatNumber, formatSpeed, px } from './numbers.js';

// The band above the plotting area holds the current value's label, so it
// can meet neither the curve nor the ticks.
const PAD = { left: 56, right: 16, top: 34, bottom: 40 };
const LABEL_CHAR_PX = 7.5;

// The speeds to ask about: denser at the low end, where the curve bends.
export function plotSpeeds(interval, count = 24) {
  const [min, max] = interval;
  const speeds = [];
  for (let i = 0; i < count; i++) {
    const t = i / (count - 1);
    speeds.push(Number((min + (max - min) * t * t).toFixed(2)));
  }
  return [...new Set(speeds)];
}

function ticks(min, max, count) {
  const span = max - min || 1;
  const raw = span / count;
  const magnitude = 10 ** Math.floor(Math.log10(raw));
  const step = [1, 2, 2.5, 5, 10].map((f) => f * magnitude).find((s) => s >= raw);
  const out = [];
  for (let v = Math.ceil(min / step) * step; v <= max + step * 1e-9; v += step) out.push(Number(v.toFixed(6)));
  return out;
}

// points: [{speed (m/s), shutter}] for the current geometry; current:
// {speed, shutter} or null; complete: whether every point has come in;
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
  parts.push(`<text x="${(PAD.left + W - PAD.right) / 2}" y="${H - 6}" text-anchor="middle" class="label">vehicle speed (${unit})</text>`);
  parts.push(`<text x="14" y="${(PAD.top + H - PAD.bottom) / 2}" text-anchor="middle" class="label" transform="rotate(-90 14 ${(PAD.top + H - PAD.bottom) / 2})">max shutter (µs)</text>`);
  if (sorted.length > 1) {
    const d = sorted.map((p, i) => `${i ? 'L' : 'M'}${px(x(p.speed))},${px(y(p.shutter))}`).join(' ');
    parts.push(`<path d="${d}" class="curve${complete ? '' : ' partial'}"/>`);
  }
  let desc = complete && sorted.length
    ? `From ${formatMicroseconds(sorted[0].shutter)} at ${formatSpeed(sorted[0].speed, unit)} ` +
      `to ${formatMicroseconds(sorted[sorted.length - 1].shutter)} at ${formatSpeed(sorted[sorted.length - 1].speed, unit)}.`
    : 'The curve is being computed.';
  if (current) {
    const cx = px(x(current.speed));
    const cy = px(y(current.shutter));
    const label = `${formatMicroseconds(current.shutter)} at ${formatSpeed(current.speed, unit)}`;
    // Centred over the marker, moved in where it would leave the area.
    const half = (label.length * LABEL_CHAR_PX) / 2;
    const lx = Math.min(Math.max(cx, PAD.left + half), W - PAD.right - half);
    parts.push(`<line x1="${cx}" x2="${cx}" y1="${PAD.top - 8}" y2="${H - PAD.bottom}" class="marker-line"/>`);
    parts.push(`<circle cx="${cx}" cy="${cy}" r="5" class="marker"/>`);
    parts.push(`<text x="${px(lx)}" y="${PAD.top - 14}" text-anchor="middle" class="marker-label">${label}</text>`);
    desc += ` Current speed ${formatSpeed(current.speed, unit)}: ${formatMicroseconds(current.shutter)}.`;
  }
  el.innerHTML = `<svg viewBox="0 0 ${W} ${H}" role="img" aria-labelledby="plot-t plot-d">` +
    `<title id="plot-t">Max shutter by vehicle speed</title><desc id="plot-d">${desc}</desc>${parts.join('')}</svg>`;
}
