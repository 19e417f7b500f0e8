// SPDX-License-Identifier: MIT
// The page's own logic that runs without a browser: which values it lets
// through to the daemon and in what unit, which speeds the plot asks about,
// and which limit it names for the camera's max shutter.

import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './support/page-modules.js';

const { validate } = await pageModule('form.js');
const { plotSpeeds } = await pageModule('plot.js');
const { explain } = await pageModule('explain.js');

const INTERVALS = { roadOffset: [-20, 20], carDistance: [0, 1000], cameraHeight: [0, 50], carSpeed: [0, 70] };
const typed = (texts) => Object.fromEntries(Object.entries(texts).map(([k, text]) => [k, { text, exact: null }]));
const GOOD = { roadOffset: '3', carDistance: '20', cameraHeight: '4', carSpeed: '10' };

describe('validate', () => {
  // The daemon takes both bounds of an interval; the page must not refuse
  // what the daemon takes, nor send what it refuses, nor read a separator
  // as anything but a decimal point.
  for (const [key, text, unit, sent] of [
    ['roadOffset', '-20', 'm/s', -20], ['roadOffset', '20', 'm/s', 20], ['roadOffset', ' 7,25 ', 'm/s', 7.25],
    ['roadOffset', '−2.5', 'm/s', -2.5], ['roadOffset', '12,', 'm/s', 12], ['roadOffset', ',5', 'm/s', 0.5],
    ['carDistance', '12,5', 'm/s', 12.5], ['carDistance', '1.234,5', 'm/s', null],
    ['carDistance', '1,234.5', 'm/s', null], ['carDistance', '1 234', 'm/s', null], ['carDistance', '1e1', 'm/s', null],
    ['roadOffset', '-20.001', 'm/s', null], ['roadOffset', '20,5', 'm/s', null], ['roadOffset', '', 'm/s', null],
    ['roadOffset', 'abc', 'm/s', null], ['roadOffset', 'Infinity', 'm/s', null],
    ['carSpeed', '130', 'km/h', 130 / 3.6], ['carSpeed', '252', 'km/h', 70], ['carSpeed', '252,1', 'km/h', null],
    ['carSpeed', '100', 'mph', 44.704], ['carSpeed', '156.6', 'mph', null], ['carSpeed', '70', 'm/s', 70],
  ]) {
    it(`${key} "${text}" in ${unit} is ${sent === null ? 'held back' : `sent as ${sent}`}`, () => {
      const check = validate(typed({ ...GOOD, [key]: text }), INTERVALS, unit);
      assert.equal(check.valid, sent !== null);
      assert.equal(key in check.errors, sent === null);
      if (sent !== null) assert.equal(check.values[key], sent);
    });
  }

  it('sends a value the page wrote exactly, however it was rounded for showing', () => {
    const fields = { ...typed(GOOD), carSpeed: { text: '130', exact: 36.111111111111114 } };
    assert.equal(validate(fields, INTERVALS, 'km/h').values.carSpeed, 36.111111111111114);
  });

  it('sends nothing before the intervals are known', () => {
    assert.equal(validate(typed(GOOD), null, 'm/s').valid, false);
  });
});

describe('plotSpeeds', () => {
  it('covers the whole interval in rising order without repeats', () => {
    for (const interval of [[0, 300], [5, 6], [10, 10]]) {
      const speeds = plotSpeeds(interval);
      assert.equal(speeds[0], interval[0]);
      assert.equal(speeds[speeds.length - 1], interval[1]);
      assert.deepEqual([...speeds].sort((a, b) => a - b), speeds);
      assert.equal(new Set(speeds).size, speeds.length);
    }
  });
});

describe('explain', () => {
  // The daemon's worked examples: which limit holds, the speed across the
  // line of sight and the angle the page names for it.
  for (const [scene, shutter, said] of [
    [[3, 20, 4, 10], 4123.10546875, /^Motion blur .* 14°, vehicles cross it at 8\.7 km\/h, and in 4123 µs they move 10 mm\.$/],
    [[3, 20, 4, 1], 10000, /^The camera's longest .*cross it at under 3\.6 km\/h, counted as 3\.6 km\/h\.$/],
    [[3, 0, 4, 50], 100, /^The camera's shortest .* 90°, .*at 180 km\/h, and even in 100 µs they move 5 mm\.$/],
  ]) {
    it(`names the limit for ${scene.join(', ')}`, () => {
      const [roadOffset, carDistance, cameraHeight, carSpeed] = scene;
      assert.match(explain({ roadOffset, carDistance, cameraHeight, carSpeed }, shutter, 'km/h'), said);
    });
  }
});
