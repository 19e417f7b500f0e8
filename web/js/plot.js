// SPDX-License-Identifier: MIT
// The plot of max shutter against vehicle speed across the speed interval,
// from points the camera computed, with the current speed marked.

import { formatNumber } from './form.js';

const PAD = { left: 56, right: 16, top: 14, bottom: 40 };

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

function n(v) {
  return Number(v.toFixed(1));
}

// points: [{speed, shutter}] for the current geometry; current: {speed,
// shutter} or null; complete: whether every point has come in. Drawn at the
// element's own width, so the text keeps its size from phone to desktop.
export function renderPlot(el, interval, points, current, complete) {
  if (!interval) return;
  const W = Math.max(280, Math.round(el.clientWidth || 560));
  const H = W < 600 ? 220 : 280;
  const [xmin, xmax] = interval;
  const sorted = [...points].sort((a, b) => a.speed - b.speed);
  const top = Math.max(1000, ...sorted.map((p) => p.shutter), current ? current.shutter : 0);
  const yticks = ticks(0, top, 5);
  const ymax = yticks[yticks.length - 1] >= top ? yticks[yticks.length - 1] : top;
  const x = (s) => PAD.left + ((s - xmin) / (xmax - xmin || 1)) * (W - PAD.left - PAD.right);
  const y = (t) => H - PAD.bottom - (t / ymax) * (H - PAD.top - PAD.bottom);

  const parts = [];
  for (const t of yticks) {
    parts.push(`<line x1="${PAD.left}" x2="${W - PAD.right}" y1="${n(y(t))}" y2="${n(y(t))}" class="grid"/>`);
    parts.push(`<text x="${PAD.left - 6}" y="${n(y(t) + 4)}" text-anchor="end" class="tick">${formatNumber(t, 0)}</text>`);
  }
  for (const s of ticks(xmin, xmax, 6)) {
    parts.push(`<text x="${n(x(s))}" y="${H - PAD.bottom + 16}" text-anchor="middle" class="tick">${formatNumber(s, 1)}</text>`);
  }
  parts.push(`<line x1="${PAD.left}" x2="${W - PAD.right}" y1="${H - PAD.bottom}" y2="${H - PAD.bottom}" class="axis"/>`);
  parts.push(`<text x="${(PAD.left + W - PAD.right) / 2}" y="${H - 6}" text-anchor="middle" class="label">vehicle speed (m/s)</text>`);
  parts.push(`<text x="14" y="${(PAD.top + H - PAD.bottom) / 2}" text-anchor="middle" class="label" transform="rotate(-90 14 ${(PAD.top + H - PAD.bottom) / 2})">max shutter (µs)</text>`);
  if (sorted.length > 1) {
    const d = sorted.map((p, i) => `${i ? 'L' : 'M'}${n(x(p.speed))},${n(y(p.shutter))}`).join(' ');
    parts.push(`<path d="${d}" class="curve${complete ? '' : ' partial'}"/>`);
  }
  let desc = complete && sorted.length
    ? `From ${formatNumber(sorted[0].shutter, 0)} µs at ${formatNumber(sorted[0].speed, 1)} m/s ` +
      `to ${formatNumber(sorted[sorted.length - 1].shutter, 0)} µs at ${formatNumber(sorted[sorted.length - 1].speed, 1)} m/s.`
    : 'The curve is being computed.';
  if (current) {
    const cx = n(x(current.speed));
    const cy = n(y(current.shutter));
    parts.push(`<line x1="${cx}" x2="${cx}" y1="${PAD.top}" y2="${H - PAD.bottom}" class="marker-line"/>`);
    parts.push(`<circle cx="${cx}" cy="${cy}" r="5" class="marker"/>`);
    const right = cx < W - 170;
    parts.push(`<text x="${right ? cx + 9 : cx - 9}" y="${Math.max(PAD.top + 12, cy - 10)}" text-anchor="${right ? 'start' : 'end'}" class="marker-label">` +
      `${formatNumber(current.shutter, 0)} µs at ${formatNumber(current.speed, 1)} m/s</text>`);
    desc += ` Current speed ${formatNumber(current.speed, 1)} m/s: ${formatNumber(current.shutter, 0)} µs.`;
  }
  el.innerHTML = `<svg viewBox="0 0 ${W} ${H}" role="img" aria-labelledby="plot-t plot-d">` +
    `<title id="plot-t">Max shutter by vehicle speed</title><desc id="plot-d">${desc}</desc>${parts.join('')}</svg>`;
}
