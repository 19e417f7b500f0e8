// SPDX-License-Identifier: MIT
// Why the max shutter is what the camera said: the motion-blur bound at the
// speed across the line of sight, or one of the camera's own bounds. The
// geometry is worked out again from the scene only to explain the camera's
// number; the number shown is always the camera's.

import { formatMicroseconds, formatNumber, formatSpeed } from './numbers.js';

const SHORTEST_US = 100;
const LONGEST_US = 10000;

// The speed across the line of sight (m/s, before the camera counts anything
// under 1 m/s as 1 m/s) and the angle between the road and the line of
// sight (degrees), with the camera's own bounds on the distances.
function crossing(scene) {
  const along = Math.min(scene.carDistance, 1000);
  const aside = Math.sqrt(scene.cameraHeight * scene.cameraHeight + scene.roadOffset * scene.roadOffset);
  const distance = Math.max(Math.sqrt(along * along + aside * aside), 5);
  return {
    speed: (aside * scene.carSpeed) / distance,
    angle: (Math.asin(Math.min(1, aside / distance)) * 180) / Math.PI,
  };
}

// One sentence on which limit holds for `maxShutter` (µs, the camera's
// answer for `scene`), speeds in `unit`.
export function explain(scene, maxShutter, unit) {
  const { speed, angle } = crossing(scene);
  const counted = Math.max(speed, 1);
  const sight = `the line of sight meets the road at ${formatNumber(angle, 0)}°`;
  const cross = speed < 1
    ? `vehicles cross it at under ${formatSpeed(1, unit)}, counted as ${formatSpeed(1, unit)}`
    : `vehicles cross it at ${formatSpeed(speed, unit)}`;
  const moved = (us) => `${formatNumber((counted * us) / 1000, 1)} mm`;
  if (maxShutter >= LONGEST_US) {
    return `The camera's longest shutter time, ${LONGEST_US} µs, sets it: ${sight}, and ${cross}.`;
  }
  if (maxShutter <= SHORTEST_US) {
    return `The camera's shortest shutter time, ${SHORTEST_US} µs, sets it: ${sight}, ${cross}, ` +
      `and even in ${SHORTEST_US} µs they move ${moved(SHORTEST_US)}.`;
  }
  return `Motion blur sets it: ${sight}, ${cross}, and in ${formatMicroseconds(maxShutter)} ` +
    `they move ${moved(maxShutter)}.`;
}
