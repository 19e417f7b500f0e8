// SPDX-License-Identifier: MIT
// The page's own logic that runs without a browser: which values it lets
// through to the daemon, and which speeds the plot asks about.

import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './support/page-modules.js';

const { validate } = await pageModule('form.js');
const { plotSpeeds } = await pageModule('plot.js');

const INTERVALS = { roadOffset: [-20, 20], carDistance: [0, 1000], cameraHeight: [0, 50], carSpeed: [0, 300] };
const GOOD = { roadOffset: '3', carDistance: '20', cameraHeight: '4', carSpeed: '10' };

describe('validate', () => {
  // The daemon takes both bounds of an interval; the page must not refuse
  // what the daemon takes, nor send what it refuses.
  for (const [text, ok] of [
    ['-20', true], ['20', true], ['0', true], [' 7.25 ', true], ['1e1', true],
    ['-20.001', false], ['20.5', false], ['', false], ['abc', false], ['Infinity', false],
  ]) {
    it(`road offset "${text}" is ${ok ? 'sent' : 'held back'}`, () => {
      const check = validate({ ...GOOD, roadOffset: text }, INTERVALS);
      assert.equal(check.valid, ok);
      assert.equal('roadOffset' in check.errors, !ok);
      if (ok) assert.equal(check.values.roadOffset, Number(text));
    });
  }

  it('sends nothing before the intervals are known', () => {
    assert.equal(validate(GOOD, null).valid, false);
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
