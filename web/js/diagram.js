// SPDX-License-Identifier: MIT
// The scene diagram: a side view (camera height above the vehicles,
// distance to the capture point, line of sight) and a top view (road offset
// from the vehicles' track, direction of travel), drawn from the four scene
// values.

import { formatSpeed, px, quantity } from './numbers.js';
import { escapeText, t } from './text.js';

const W = 320;
const LEFT = 64;
const CAR_H = 12; // the vehicles' drawn height: the camera height is measured from their top
const RIGHT = 24;
const MIN_DRAWN = 18; // a smaller extent would vanish; drawn larger and said so
const MAX_DRAWN = 140; // a larger one would make the view tall; drawn smaller and said so

// A label centred on x as far as the view allows: a short distance would
// otherwise push it off the edge (about 7 px a character at 12 px).
function centred(x, y, content) {
  const half = (String(content).length * 7) / 2;
  return text(Math.min(Math.max(x, 6 + half), W - 6 - half), y, content);
}

function text(x, y, content, anchor = 'middle', cls = 'label') {
  return `<text x="${px(x)}" y="${px(y)}" text-anchor="${anchor}" class="${cls}">${escapeText(content)}</text>`;
}

function line(x1, y1, x2, y2, cls, extra = '') {
  return `<line x1="${px(x1)}" y1="${px(y1)}" x2="${px(x2)}" y2="${px(y2)}" class="${cls}"${extra}/>`;
}

// top and bottom: the vertical extent the drawing uses.
function svg(id, title, desc, top, bottom, body) {
  return `<figure class="view"><svg viewBox="0 ${px(top)} ${W} ${px(bottom - top)}" role="img" aria-labelledby="${id}-t ${id}-d">` +
    `<title id="${id}-t">${escapeText(title)}</title><desc id="${id}-d">${escapeText(desc)}</desc>` +
    `<defs><marker id="${id}-arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" orient="auto-start-reverse">` +
    '<path d="M0,0 L10,5 L0,10 z" class="arrowhead"/></marker></defs>' +
    `${body}</svg><figcaption>${escapeText(title)}</figcaption></figure>`;
}

// Pixels per metre along the road, and across it: the same, unless the
// extent across would be too small to see or too tall for the view.
function scales(along, across) {
  const sx = (W - LEFT - RIGHT) / Math.max(along, 1);
  let sy = sx;
  let note = '';
  if (across * sy > MAX_DRAWN) {
    sy = MAX_DRAWN / across;
    note = 'Compressed';
  } else if (across > 0 && across * sy < MIN_DRAWN) {
    sy = MIN_DRAWN / across;
    note = 'Stretched';
  }
  return { sx, sy, note };
}

const metres = (v) => quantity(v, 'm', 1);

function sideView(scene) {
  const { sx, sy, note } = scales(scene.carDistance, scene.cameraHeight);
  const ground = 0;
  const tops = ground - CAR_H;
  const camX = LEFT;
  const camY = tops - scene.cameraHeight * sy;
  const carX = camX + scene.carDistance * sx;
  const parts = [
    line(8, ground, W - 8, ground, 'road'),
    line(camX - 22, tops, W - 8, tops, 'level'),
    line(camX, ground, camX, camY, 'pole'),
    `<rect x="${px(camX - 7)}" y="${px(camY - 6)}" width="16" height="10" rx="2" class="camera"/>`,
    line(camX + 8, camY, carX, tops, 'sight'),
    `<rect x="${px(carX - 12)}" y="${px(tops)}" width="24" height="${CAR_H}" rx="3" class="car"/>`,
    line(camX - 14, tops, camX - 14, camY, 'dimension'),
    text(camX - 20, Math.min((camY + tops) / 2 + 4, tops - 2), metres(scene.cameraHeight), 'end'),
    line(camX, ground + 12, carX, ground + 12, 'dimension'),
    centred((camX + carX) / 2, ground + 28, t('toCapture', { distance: metres(scene.carDistance) })),
  ];
  const top = Math.min(camY - 14, ground - 40);
  if (note) parts.push(text(W - 8, top + 14, t(`height${note}`), 'end', 'note'));
  const desc = t('sideDescription', { height: metres(scene.cameraHeight), distance: metres(scene.carDistance) });
  return svg('side', t('sideView'), desc, top, ground + 36, parts.join(''));
}

function topView(scene, unit) {
  const offset = scene.roadOffset;
  const { sx, sy, note } = scales(scene.carDistance, Math.abs(offset));
  const camX = LEFT;
  const camY = 0;
  // The track runs below the camera for a positive offset, above for a negative one.
  const trackY = camY + offset * sy;
  const carX = camX + scene.carDistance * sx;
  const below = offset >= 0;
  const parts = [
    `<rect x="4" y="${px(trackY - 12)}" width="${W - 8}" height="24" class="lane"/>`,
    // Vehicles come towards the camera: the arrow points from the car to it.
    carX - camX > 50 ? line(carX - 20, trackY, Math.max(carX - 60, camX + 24), trackY, 'travel',
      ' marker-end="url(#top-arrow)"') : '',
    `<rect x="${px(carX - 14)}" y="${px(trackY - 8)}" width="28" height="16" rx="4" class="car"/>`,
    line(camX, camY, carX, trackY, 'sight'),
    `<circle cx="${px(camX)}" cy="${px(camY)}" r="7" class="camera"/>`,
    centred((camX + carX) / 2, below ? trackY + 28 : trackY - 18,
      t('ahead', { distance: metres(scene.carDistance), speed: formatSpeed(scene.carSpeed, unit) })),
  ];
  if (offset !== 0) parts.push(line(camX - 18, camY, camX - 18, trackY, 'dimension'));
  parts.push(text(camX - 8, below ? camY - 12 : camY + 22, t('offsetBy', { offset: metres(offset) }), 'start'));
  const top = Math.min(camY, trackY) - (below ? 30 : 40);
  const bottom = Math.max(camY, trackY) + (below ? 38 : 30);
  if (note) parts.push(text(W - 8, bottom - 4, t(`offset${note}`), 'end', 'note'));
  const desc = t(offset === 0 ? 'topInLine' : 'topBeside', { offset: metres(Math.abs(offset)),
    distance: metres(scene.carDistance), speed: formatSpeed(scene.carSpeed, unit) });
  return svg('top', t('topView'), desc, top, bottom, parts.join(''));
}

// Draws both views into el, speeds in `unit`; without a complete scene,
// keeps the last drawing.
export function renderDiagram(el, scene, unit) {
  if (!scene) return;
  el.innerHTML = sideView(scene) + topView(scene, unit);
}
