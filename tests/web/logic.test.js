// SPDX-License-Identifier: MIT
// The page's own logic that runs without a browser: which values it lets
// through to the daemon and in what unit, which speeds the plot asks about
// and the curve it draws from the answers, which limit it names for the
// camera's max shutter, which request it sends next, which language it
// speaks and how each writes and reads its numbers.

import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { pageModule } from './support/page-modules.js';

const { validate } = await pageModule('form.js');
const { curvePoints, nextCurveSpeed } = await pageModule('plot.js');
const { explain } = await pageModule('results.js');
const { nextRequest, retryLater } = await pageModule('scheduler.js');
const { state: fresh } = await pageModule('state.js');
const { LANGUAGES, pickLanguage, say, useCatalogue } = await pageModule('text.js');
const { sentenceForBusy } = await pageModule('api.js');
const { fieldNumber, formatNumber, parseNumber } = await pageModule('numbers.js');
const { sceneText, shutterText } = await pageModule('results.js');
const catalogue = async (code) => (await pageModule(`lang/${code}.js`)).default;
useCatalogue('en', await catalogue('en'));

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
    // What an Arabic or Persian keyboard types, and the marks around a sign
    // that right-to-left text carries.
    ['carDistance', '١٢٫٥', 'm/s', 12.5], ['carDistance', '۱۲٫۵', 'm/s', 12.5], ['carDistance', '١٢,٥', 'm/s', 12.5],
    ['roadOffset', '\u061c-٢٫٥', 'm/s', -2.5], ['roadOffset', '\u2068\u2212٢٠\u2069', 'm/s', -20],
    ['carDistance', '١٬٢٣٤', 'm/s', null], ['carDistance', '١٢٫٥٫١', 'm/s', null],
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

describe('the curve', () => {
  // The daemon's worked example (3, 20, 4 with a blur of 10 mm): an answer
  // inside the camera's bounds is the whole curve, and it meets the
  // daemon's own numbers at other speeds; answers at a bound ask on, and
  // never more than a handful.
  const GEOMETRY = { roadOffset: 3, carDistance: 20, cameraHeight: 4 };
  const blur = (speed) => Math.min(10000, Math.max(100, 0.01 / Math.max(speed * 5 / Math.sqrt(425), 1) * 1e6));
  for (const [what, speed, points, next] of [
    ['one answer inside the bounds', 10, [[10, 4123.10546875]], undefined],
    ['at the longest time: the fastest speed next', 1, [[1, 10000]], 70],
    ['the longest time at the fastest speed: flat', 1, [[1, 10000], [70, 10000]], undefined],
    ['at the shortest time: the slowest speed next', 70, [[70, 100]], 0],
    ['both bounds: between them', 1, [[1, 10000], [64, 100]], 8],
  ]) {
    it(what, () => {
      const answers = points.map(([s, shutter]) => ({ speed: s, shutter }));
      assert.equal(nextCurveSpeed({ ...GEOMETRY, carSpeed: speed }, answers, [0, 70]), next);
    });
  }
  it('draws the daemon\'s numbers across the interval', () => {
    const drawn = curvePoints({ ...GEOMETRY, carSpeed: 10 }, [{ speed: 10, shutter: 4123.10546875 }], [0, 70]);
    assert.equal(drawn[0].speed, 0);
    assert.equal(drawn[drawn.length - 1].speed, 70);
    for (const p of drawn) assert.ok(Math.abs(p.shutter - blur(p.speed)) < 0.01, `${p.speed} m/s`);
  });
  it('stops after a handful of answers that stay at the bounds', () => {
    const answers = [[1, 10000], [1.2, 10000], [1.4, 10000], [1.5, 100], [1.6, 100], [2, 100], [3, 100]];
    assert.equal(nextCurveSpeed({ ...GEOMETRY, carSpeed: 1 }, answers.map(([speed, shutter]) => ({ speed, shutter })),
      [0, 70]), undefined);
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

describe('nextRequest', () => {
  const NOW = 1e6;
  const SCENE = { roadOffset: 3, carDistance: 20, cameraHeight: 4, carSpeed: 10 };
  const EDITED = { ...SCENE, cameraHeight: 5 };
  const whole = { geometry: '3|20|4', points: [{ speed: 10, shutter: 4123 }] };
  const bound = { geometry: '3|20|4', points: [{ speed: 10, shutter: 10000 }] };
  const idle = { ...fresh, intervals: INTERVALS, settingsFor: SCENE, schedule: { ...fresh.schedule, load: false } };
  const wrong = { valid: false, values: {} };
  // What is wanted, the fields (null: a wrong value), the step expected
  // (what is sent, or how long until the scheduler is to look again), what
  // is left wanted, and the rest of the state where it matters.
  for (const [what, wanted, fields, step, left = {}, more = {}] of [
    ['a load before an apply before a preview', { load: true, apply: true, previewAt: NOW }, EDITED,
      { send: 'load' }, { load: false, apply: true }],
    ['an apply before a preview', { apply: true, previewAt: NOW }, EDITED,
      { send: 'apply', scene: EDITED }, { apply: false, previewAt: NOW }],
    ['nothing while a request is under way', { load: true, previewAt: NOW }, EDITED, {}, { load: true },
      { working: 'preview' }],
    ['an apply of values made wrong meanwhile is dropped', { apply: true }, null, {}, { apply: false }],
    ['no preview while a person is typing', { previewAt: NOW + 100 }, EDITED, { wait: 100 }],
    ['the preview once the typing pauses', { previewAt: NOW }, EDITED, { send: 'preview', scene: EDITED },
      { previewAt: null }],
    ['no preview of a wrong value', { previewAt: NOW }, null, {}],
    ['back at the computed scene, the plot after the settings settle', { previewAt: NOW }, SCENE, { wait: 600 },
      { previewAt: null, plotAt: NOW + 600 }],
    ['a point at the fastest speed for an answer at the bound', { plotAt: NOW }, SCENE,
      { send: 'plot', scene: SCENE, speed: 70 }, {}, { plot: bound }],
    ['nothing more for a curve the answer fixes', { plotAt: NOW }, SCENE, {}, { plotAt: null }, { plot: whole }],
    ['an idle look at the stored scene when due', { checkAt: NOW }, SCENE, { send: 'check' }, { checkAt: null },
      { plot: whole }],
    ['the stored scene\'s settings when another device stored it', {}, EDITED, { send: 'stored', scene: SCENE },
      {}, { stored: SCENE }],
    ['no plot point for values not computed', { plotAt: NOW }, EDITED, {}],
    ['the earliest of what is due later', { previewAt: NOW + 250, plotAt: NOW + 600, retryAt: NOW + 100 }, EDITED,
      { wait: 100 }],
    ['a failed preview asked again once its pause is over', { retryAt: NOW }, EDITED,
      { send: 'preview', scene: EDITED }, { retryAt: null }, { failure: { retry: 'preview' } }],
    ['a failed load asked again', { retryAt: NOW }, EDITED, { send: 'load' }, {}, { failure: { retry: 'load' } }],
    ['a failed apply never repeated by a retry due from before', { retryAt: NOW }, EDITED, {}, { retryAt: null },
      { failure: { retry: 'apply' } }],
  ]) {
    it(what, () => {
      const state = { ...idle, ...more, schedule: { ...idle.schedule, ...wanted } };
      const { schedule, ...got } = nextRequest(state, fields ? { valid: true, values: fields } : wrong, NOW);
      assert.deepEqual(got, step);
      for (const [key, value] of Object.entries(left)) assert.equal(schedule[key], value, key);
    });
  }

  it('asks again after growing pauses, and gives up ten minutes after the first failure', () => {
    const pauses = [];
    let schedule = idle.schedule;
    for (let now = NOW; ; now = schedule.retryAt) {
      schedule = retryLater(schedule, now);
      if (schedule.retryAt === null) break;
      pauses.push(schedule.retryAt - now);
    }
    assert.deepEqual(pauses.slice(0, 7), [1000, 2000, 4000, 8000, 15000, 30000, 30000]);
    const total = pauses.reduce((a, b) => a + b);
    assert.ok(total > 10 * 60 * 1000 && total <= 10 * 60 * 1000 + 30000, `gave up after ${total} ms`);
  });
});

describe('languages', () => {
  // The stored choice first, then the browser's languages in order (by
  // their language, whatever the region), then English.
  for (const [stored, preferred, spoken] of [
    [null, ['sv-SE', 'fr-CA', 'de-DE'], 'fr'], [null, ['pt-BR'], 'pt'], [null, ['ar-EG', 'en-US'], 'ar'],
    [null, ['zh-CN', 'ja'], 'en'], [null, undefined, 'en'], ['pl', ['de-DE'], 'pl'], ['xx', ['it'], 'it'],
  ]) {
    it(`speaks ${spoken} for ${JSON.stringify(stored)} and ${JSON.stringify(preferred)}`, () => {
      assert.equal(pickLanguage(stored, preferred), spoken);
    });
  }

  // A number's words take the form its language's plural rules pick for
  // the number as shown (with its decimal).
  for (const [code, pauseMs, said] of [['pl', 500, /za 0,5 sekundy…$/], ['pl', 1000, /za 1,0 sekundy…$/],
    ['en', 1000, /in 1\.0 s…$/], ['ar', 2000, /بعد ٢٫٠ ثانية…$/]]) {
    it(`${code}: a busy camera's ${pauseMs} ms`, async () => {
      useCatalogue(code, await catalogue(code));
      try {
        assert.match(say(sentenceForBusy(pauseMs)), said);
      } finally {
        useCatalogue('en', await catalogue('en'));
      }
    });
  }

  // Each language reads back every number it writes into a field, shows no
  // "−0", and writes each line in one digit system: its own.
  const DIGITS = { latin: /[0-9]/, arabic: /[\u0660-\u0669]/, persian: /[\u06f0-\u06f9]/ };
  const SCENE = { roadOffset: -2.5, carDistance: 20, cameraHeight: 4, carSpeed: 36.1 };
  for (const { code } of LANGUAGES) {
    it(`${code}: numbers read back, unsigned zero, one digit system a line`, async () => {
      useCatalogue(code, await catalogue(code));
      try {
        for (const [value, digits, read] of [[-2.5, 2, -2.5], [12.25, 2, 12.25], [0, 2, 0], [-0.004, 2, 0],
          [-20, 1, -20], [1234.5, 1, 1234.5]]) {
          assert.equal(parseNumber(fieldNumber(value, digits)).value, read, `${value} as ${fieldNumber(value, digits)}`);
        }
        assert.equal(formatNumber(-0.001), formatNumber(0));
        const own = code === 'ar' ? 'arabic' : 'latin';
        const lines = [shutterText(1468.2), sceneText(SCENE, 'km/h'), explain(SCENE, 4123.1, 'mph'),
          validate(typed({ ...GOOD, roadOffset: '25' }), INTERVALS, 'km/h').errors.roadOffset.values.range];
        for (const line of lines) {
          assert.deepEqual(Object.keys(DIGITS).filter((d) => DIGITS[d].test(line)), [own], line);
        }
      } finally {
        useCatalogue('en', await catalogue('en'));
      }
    });
  }
});
