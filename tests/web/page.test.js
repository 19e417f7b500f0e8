// SPDX-License-Identifier: MIT
// The exposure wizard page in a real browser, in front of the real front
// end, daemon and fake camera. Screenshots go to BUILD/web-screenshots.

import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, readdirSync } from 'node:fs';
import { gzipSync } from 'node:zlib';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import {
  BUILD, SOURCE, cameraCalls, post, readConfig, restartDaemon, startStack, stopPart, stopStack,
} from './support/stack.js';
import { pageModule } from './support/page-modules.js';

const require = createRequire(import.meta.url);
const AXE = readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const SHOTS = join(BUILD, 'web-screenshots');

let browser;
before(async () => {
  browser = await chromium.launch({
    executablePath: process.env.LANECAMD_CHROMIUM ?? '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});
after(async () => {
  await browser?.close();
});

// Polls until fn() returns a truthy value; fails with `what` after ms.
async function until(fn, what, ms = 10000) {
  const deadline = Date.now() + ms;
  let last;
  for (;;) {
    last = await fn();
    if (last) return last;
    if (Date.now() > deadline) assert.fail(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// A page on a fresh stack, under the front end's Content-Security-Policy,
// counting its requests to the daemon and keeping every address it asked
// for. clock: the page's timers under Playwright's clock.
// throttled: the weak link at the roadside (400 kbit/s each way, 400 ms
// round trip), and open() returns as soon as the page's address is taken.
// touch: a phone's touch screen. stack: another page's stack.
async function open(t, { camera, unstorable, viewport = { width: 1280, height: 800 }, colorScheme = 'light',
  locale = 'en-US', clock = false, throttled = false, touch = false, stack: shared } = {}) {
  const stack = shared ?? await startStack({ camera, unstorable });
  const context = await browser.newContext({ viewport, colorScheme, locale, hasTouch: touch, isMobile: touch });
  if (clock) await context.clock.install();
  const page = await context.newPage();
  const seen = { urls: [], api: 0, bytes: 0 };
  if (throttled) {
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 400, downloadThroughput: 400000 / 8, uploadThroughput: 400000 / 8 });
    cdp.on('Network.loadingFinished', (e) => { seen.bytes += e.encodedDataLength; });
  }
  page.on('request', (r) => {
    seen.urls.push(r.url());
    if (r.url().endsWith('roadshotwizard.cgi')) seen.api += 1;
  });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // What the policy refuses shows only on the console.
  page.on('console', (m) => {
    if (/Content Security Policy/i.test(m.text())) errors.push(m.text());
  });
  t.after(async () => {
    await context.close();
    if (!shared) await stopStack(stack);
    assert.deepEqual(errors, [], 'script errors or policy violations in the page');
  });
  await page.goto(stack.url, { waitUntil: throttled ? 'commit' : 'load' });
  return { stack, page, seen };
}

function shot(page, name, fullPage = false) {
  mkdirSync(SHOTS, { recursive: true });
  return page.screenshot({ path: join(SHOTS, `${name}.png`), fullPage });
}

// Waits until the settings shown belong to the fields and the plot is whole.
function settled(page) {
  return page.waitForFunction(() =>
    document.getElementById('r-shutter').textContent !== '–' &&
    !document.getElementById('results-note').textContent &&
    !document.getElementById('plot-note').textContent, null, { timeout: 15000 });
}

// The catalogues' sentences, for finding and checking what each language says.
const { LANGUAGES, t: sentence, useCatalogue } = await pageModule('text.js');
const CATALOGUES = Object.fromEntries(await Promise.all(LANGUAGES.map(async ({ code }) =>
  [code, (await pageModule(`lang/${code}.js`)).default])));
function words(code, key, values) {
  useCatalogue(code, CATALOGUES[code]);
  // A soft hyphen is no part of a name a person reads.
  return sentence(key, values).replaceAll('\u00ad', '');
}
const label = (code, key, unit) => words(code, `${key}Label`, { unit: words(code, unit) });

const field = (page, name) => page.getByRole('textbox', { name });
const slider = (page, name) => page.getByRole('slider', { name });
const results = (page) => page.getByRole('region', { name: 'Camera settings' });
const summary = (page) => page.getByRole('region', { name: 'Result' });
const notice = (page, text) => page.getByRole('status').filter({ hasText: text });
const applyButton = (page, code = 'en') => page.getByRole('button', { name: words(code, 'apply') });

// How the page writes the max shutter of a set reply's data.
function shutterText(data) {
  return `${Math.round(data.maxShutter)} µs, about 1/${Math.round(1e6 / data.maxShutter)} s`;
}

async function previewOf(stack, scene) {
  const reply = await post(stack, { apiVersion: '1.0', method: 'set', params: { apply: false, ...scene } });
  return JSON.parse(reply.text).data;
}

// axe-core is evaluated rather than added as a script, which the policy
// would refuse.
async function axeViolations(page) {
  await page.evaluate(AXE);
  return page.evaluate(async () => {
    const found = await window.axe.run(document, { resultTypes: ['violations'] });
    return found.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
}

// No violation in either colour scheme.
async function assertAccessible(page, what) {
  for (const colorScheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme });
    assert.deepEqual(await axeViolations(page), [], `${what}, ${colorScheme}`);
  }
}

const STORED = { roadOffset: 3, carDistance: 20, cameraHeight: 4, carSpeed: 10 };

describe('exposure wizard page', () => {
  it('opens with the stored scene, its intervals and its settings, asking nothing of other origins', async (t) => {
    const { stack, page, seen } = await open(t);
    await settled(page);
    for (const [name, value, min, max] of [
      ['Road offset (m)', '3', '-20', '20'],
      ['Distance to capture point (m)', '20', '0', '200'],
      ['Camera height (m)', '4', '0', '20'],
      ['Vehicle speed (m/s)', '10', '0', '70'],
    ]) {
      assert.equal(await field(page, name).inputValue(), value, name);
      const its = slider(page, name.replace(/ \(.*/, ' slider'));
      assert.equal(await its.inputValue(), value, `${name} slider`);
      assert.equal(await its.getAttribute('min'), min, `${name} minimum`);
      assert.equal(await its.getAttribute('max'), max, `${name} maximum`);
    }
    await notice(page, 'Showing the stored scene.').waitFor();
    const shown = await results(page).innerText();
    assert.match(shown, new RegExp(shutterText(await previewOf(stack, STORED))));
    assert.match(shown, /Max gain\s+24\b/);
    assert.match(shown, /Wide dynamic range\s+Off/);
    assert.match(shown, /IR-cut filter\s+Automatic/);
    assert.match(shown, /Iris\s+Automatic/);
    assert.ok(await page.getByText('36 km/h').isVisible());
    // The curve drawn through the one preview meets the daemon's own answers
    // at the ends of the interval.
    const [slowest, fastest] = await Promise.all([0, 70].map((carSpeed) => previewOf(stack, { ...STORED, carSpeed })));
    assert.match(await page.locator('#plot-d').textContent(), new RegExp(
      `^From ${Math.round(slowest.maxShutter)} µs at 0 m/s to ${Math.round(fastest.maxShutter)} µs at 70 m/s\\.`));
    const origin = new URL(stack.url).origin;
    assert.deepEqual(seen.urls.filter((u) => !u.startsWith(origin) && !u.startsWith('data:')), []);
    assert.deepEqual(cameraCalls(stack), [], 'the camera was touched by opening the page');
  });

  it('previews every change without storing it or touching the camera', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    const before = readConfig(stack);

    const typed = await previewOf(stack, { ...STORED, cameraHeight: 9.5 });
    const typedAt = Date.now();
    await field(page, 'Camera height (m)').fill('9.5');
    await results(page).getByText(shutterText(typed)).waitFor();
    t.diagnostic(`preview shown ${Date.now() - typedAt} ms after the last keystroke (debounce 250 ms)`);

    // The keyboard moves the slider, and the field follows it.
    const speedSlider = slider(page, 'Vehicle speed slider');
    await speedSlider.focus();
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowRight');
    assert.equal(await field(page, 'Vehicle speed (m/s)').inputValue(), '11');
    await page.getByText('39.6 km/h').waitFor();
    const slid = await previewOf(stack, { ...STORED, cameraHeight: 9.5, carSpeed: 11 });
    await results(page).getByText(shutterText(slid)).waitFor();

    // The slider holds a typed value between its marks, and stays put while
    // the text is wrong.
    await field(page, 'Vehicle speed (m/s)').fill('13.37');
    await until(async () => (await speedSlider.getAttribute('aria-valuetext')) === '13.37 m/s', 'the slider at 13.37');
    await field(page, 'Vehicle speed (m/s)').fill('130');
    assert.equal(await speedSlider.inputValue(), '13.37');
    await field(page, 'Vehicle speed (m/s)').fill('11');
    await settled(page);
    assert.equal(readConfig(stack), before, 'a preview changed the configuration');
    assert.deepEqual(cameraCalls(stack), [], 'a preview reached the camera');
    await notice(page, 'Previewing values that are not applied yet.').waitFor();
  });

  it('marks a value outside its interval and sends nothing while one is', async (t) => {
    const { stack, page, seen } = await open(t);
    await settled(page);
    const before = readConfig(stack);
    for (const [name, text, message] of [
      ['Road offset (m)', '25', 'Must be from −20 to 20 m.'],
      ['Camera height (m)', '-0.5', 'Must be from 0 to 20 m.'],
      ['Vehicle speed (m/s)', '', 'Enter a number.'],
    ]) {
      const sent = seen.api;
      await field(page, name).fill(text);
      await page.getByText(message).waitFor();
      assert.equal(await field(page, name).getAttribute('aria-invalid'), 'true', name);
      await applyButton(page).click();
      await notice(page, 'Correct the marked values first').waitFor();
      assert.equal(await page.evaluate(() => document.activeElement.id), await field(page, name).getAttribute('id'));
      await page.waitForTimeout(800);
      assert.equal(seen.api, sent, `a request went out with ${name} at "${text}"`);
      // Put it right again, so the next row is the only wrong value.
      await field(page, name).fill(String(STORED[await field(page, name).getAttribute('id')]));
      await settled(page);
    }
    assert.equal(readConfig(stack), before);
    assert.deepEqual(cameraCalls(stack), []);
  });

  it('applies: the file holds the new scene, the camera gets the settings, Revert reloads it', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    const scene = { roadOffset: -2.5, carDistance: 40, cameraHeight: 6, carSpeed: 25 };
    await field(page, 'Road offset (m)').fill('-2.5');
    await field(page, 'Distance to capture point (m)').fill('40');
    await field(page, 'Camera height (m)').fill('6');
    await field(page, 'Vehicle speed (m/s)').fill('25');
    await applyButton(page).click();
    // The time as the page's language writes it (7:32 PM), as on the record.
    await notice(page, new RegExp('^Applied at \\d\\d?:\\d\\d\\s[AP]M: road offset −2.5 m, distance to capture point 40 m, ' +
      'camera height 6 m, vehicle speed 25 m/s\\.$')).waitFor();

    const config = readConfig(stack);
    for (const [key, value] of Object.entries(scene)) {
      assert.match(config, new RegExp(`^${key}=${value}(\\.0*)?$`, 'm'), key);
    }
    const expected = await previewOf(stack, scene);
    const calls = cameraCalls(stack);
    assert.ok(calls.includes(`Set MaxExposureTime i ${Math.trunc(expected.maxShutter)}`), calls.join('\n'));
    assert.ok(calls.some((c) => /^(SetDayNightMode|Set DayNightEnabled)/.test(c)), calls.join('\n'));

    await field(page, 'Camera height (m)').fill('12');
    await page.getByRole('button', { name: 'Revert' }).click();
    await until(async () => (await field(page, 'Camera height (m)').inputValue()) === '6', 'the reverted height');
    await settled(page);
    await results(page).getByText(shutterText(expected)).waitFor();
  });

  it('takes either decimal separator and a local keyboard\'s digits, and speeds in the unit chosen', async (t) => {
    // What is typed, and how the page writes 12.5, 36 and 130 back in its
    // language: Arabic in its own digits, which it reads back too.
    for (const [locale, code, typed, shown, kmh, fast] of [['de-DE', 'de', '12.5', '12,5', '36', '130'],
      ['en-US', 'en', '12,5', '12.5', '36', '130'], ['ar-EG', 'ar', '۱۲٫۵', '١٢٫٥', '٣٦', '١٣٠']]) {
      const { stack, page } = await open(t, { locale });
      const say = (key, values) => words(code, key, values);
      const speed = () => field(page, label(code, 'carSpeed', 'unitKmh'));
      await settled(page);
      await field(page, label(code, 'carDistance', 'unitM')).fill(typed);
      await page.getByRole('radio', { name: say('unitKmh') }).check();
      assert.equal(await speed().inputValue(), kmh, locale);
      await speed().fill(fast);
      await settled(page);
      await applyButton(page, code).click();
      const stored = say('sceneCarSpeed', { value: say('quantity', { value: fast, unit: say('unitKmh') }) });
      await notice(page, stored).waitFor();
      const config = readConfig(stack);
      assert.match(config, /^carDistance=12\.5$/m, locale);
      assert.match(config, /^carSpeed=36\.11+\d*$/m, locale);
      // The unit is remembered, and the stored scene comes back as it was typed.
      await page.reload();
      await settled(page);
      assert.equal(await field(page, label(code, 'carDistance', 'unitM')).inputValue(), shown, locale);
      assert.equal(await speed().inputValue(), fast, locale);
      assert.ok((await page.locator('#plot').innerText()).replaceAll('\u00ad', '')
        .includes(say('speedAxis', { unit: say('unitKmh') })), locale);
      if (locale === 'de-DE') await shot(page, 'unit-kmh-de-1280x800-light');
      await assertAccessible(page, locale);
    }
  });

  it('keeps the result in view while a field is edited on a phone, keyboard open or not', async (t) => {
    const { stack, page } = await open(t, { viewport: { width: 390, height: 844 } });
    await settled(page);
    for (const height of [844, 422]) {
      await page.setViewportSize({ width: 390, height });
      const speed = field(page, 'Vehicle speed (m/s)');
      // Focused afresh, as the keyboard opening scrolls to the field.
      await page.evaluate(() => document.activeElement?.blur());
      await speed.focus();
      await speed.fill(String(20 + height / 422));
      const expected = await previewOf(stack, { ...STORED, carSpeed: 20 + height / 422 });
      await summary(page).getByText(shutterText(expected)).waitFor();
      await summary(page).getByText('preview').waitFor();
      const box = await summary(page).boundingBox();
      const input = await speed.boundingBox();
      assert.ok(box.y >= 0 && box.y + box.height <= height, `the summary at ${box.y} in ${height} px`);
      assert.ok(input.y >= box.y + box.height && input.y + input.height <= height,
        `the field at ${input.y}, under the summary ending at ${box.y + box.height}, in ${height} px`);
      // Apply in reach below the last field, without scrolling.
      const apply = await applyButton(page).boundingBox();
      assert.ok(apply.y >= input.y + input.height && apply.y + apply.height <= height,
        `Apply at ${apply.y}, the field ending at ${input.y + input.height}, in ${height} px`);
      await shot(page, `editing-390x${height}-light`);
      await assertAccessible(page, `editing at ${height} px`);
      await page.emulateMedia({ colorScheme: 'light' });
    }
  });

  it('applies only from its button: Enter previews, the wheel changes nothing, leaving asks first', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    const before = readConfig(stack);
    const dialogs = [];
    page.on('dialog', (d) => dialogs.push(d.type()) && d.dismiss());
    const height = field(page, 'Camera height (m)');
    await height.fill('9');
    await height.press('Enter');
    await results(page).getByText(shutterText(await previewOf(stack, { ...STORED, cameraHeight: 9 }))).waitFor();
    await height.hover();
    await page.mouse.wheel(0, -500);
    await page.mouse.wheel(0, 500);
    await page.waitForTimeout(300);
    assert.equal(await height.inputValue(), '9');
    assert.equal(readConfig(stack), before);
    assert.deepEqual(cameraCalls(stack), []);

    await page.close({ runBeforeUnload: true });
    await until(() => dialogs.length, 'a question before leaving');
    assert.deepEqual(dialogs, ['beforeunload']);
    assert.equal(await height.inputValue(), '9', 'the edit was lost');
  });

  it('says plainly whether a refused apply was stored', async (t) => {
    for (const [options, said, stored, name] of [
      [{ camera: ['--fail', 'MaxExposureTime'] },
        'The scene was stored, but the camera did not take all settings. Apply again to retry.', true, 'camera'],
      [{ unstorable: true }, 'The scene could not be stored; nothing was sent to the camera.', false, 'store'],
    ]) {
      const { stack, page } = await open(t, { ...options, viewport: { width: 390, height: 844 } });
      await settled(page);
      // Moved by the keyboard and applied at once: the apply goes out before
      // any preview of the new speed.
      await slider(page, 'Vehicle speed slider').press('ArrowRight');
      await applyButton(page).click();
      await notice(page, said).waitFor();
      assert.ok(await page.getByRole('button', { name: 'Retry' }).isVisible(), name);
      assert.equal(/^carSpeed=10\.5$/m.test(readConfig(stack)), stored, name);
      assert.equal(cameraCalls(stack).length > 0, stored, name);
      assert.equal(await page.getByText(/"code"|\{/).count(), 0, 'raw JSON on the page');
      if (stored) {
        // The stored scene's own settings, on the page and on paper, and
        // the paper says the camera did not take them.
        const its = shutterText(await previewOf(stack, { ...STORED, carSpeed: 10.5 }));
        await results(page).getByText(its).waitFor();
        await page.emulateMedia({ media: 'print' });
        assert.match(await page.getByRole('region', { name: 'Commissioning record' }).innerText(),
          new RegExp(`${its}[^]*camera did not take all settings`));
        await page.emulateMedia({ media: 'screen' });
      }
      await page.getByRole('button', { name: 'Retry' }).scrollIntoViewIfNeeded();
      await shot(page, `refused-${name}-390x844-light`);
      await assertAccessible(page, name);
      // What the camera refused is still said after a reload, and its
      // Retry applies again.
      if (stored) {
        await page.reload();
        await notice(page, said).waitFor();
        const calls = cameraCalls(stack).length;
        await page.getByRole('button', { name: 'Retry' }).click();
        await until(() => cameraCalls(stack).length > calls, 'the apply sent again');
      }
    }
  });

  it('retries by itself while the daemon is busy, and says so', async (t) => {
    // Each apply waits 3 s for the camera, and applies take turns there, so
    // two of them fill both of the daemon's slots (one at the camera, one
    // waiting for it) and it answers the page's preview with 503.
    const { stack, page } = await open(t, { camera: ['--delay', 'MaxExposureTime:3000'] });
    await settled(page);
    const apply = { apiVersion: '1.0', method: 'set', params: { apply: true, ...STORED } };
    const held = [post(stack, apply), post(stack, apply)];
    await until(() => cameraCalls(stack).some((c) => c.startsWith('Set MaxExposureTime'))
      && (stack.daemon.output().match(/->set: apply:1/g) ?? []).length === 2,
      'one apply at the camera and the other waiting for it');

    await field(page, 'Camera height (m)').fill('7');
    await notice(page, /busy with other requests\. Trying again in \d+\.\d s/).waitFor();
    for (const reply of await Promise.all(held)) assert.equal(reply.status, 200);
    const expected = await previewOf(stack, { ...STORED, cameraHeight: 7 });
    await results(page).getByText(shutterText(expected)).waitFor({ timeout: 15000 });
    await until(async () => (await notice(page, 'busy').count()) === 0, 'the busy message to go');
  });

  it('tells what does not answer, and recovers by itself when it answers again', async (t) => {
    const { stack, page } = await open(t, { clock: true, viewport: { width: 390, height: 844 } });
    await settled(page);
    const retry = page.getByRole('button', { name: 'Retry' });

    await stopPart(stack.daemon);
    await page.reload();
    await notice(page, 'the exposure service behind it does not').waitFor();
    assert.ok(await retry.isVisible());
    assert.doesNotMatch(await page.locator('body').innerText(), /\(\s*\)/);
    assert.equal(await page.getByText('exposure service').count(), 1, 'the failure said more than once');
    await retry.scrollIntoViewIfNeeded();
    await shot(page, 'service-down-390x844-light');
    await assertAccessible(page, 'service down');
    await restartDaemon(stack);
    await page.clock.fastForward(60000);
    await settled(page);
    await notice(page, 'Showing the stored scene.').waitFor();

    // A service that takes the request and never answers.
    process.kill(stack.daemon.proc.pid, 'SIGSTOP');
    await field(page, 'Camera height (m)').fill('8');
    await page.waitForTimeout(500);
    await page.clock.fastForward(16000);
    await notice(page, 'did not answer in time').waitFor();
    process.kill(stack.daemon.proc.pid, 'SIGCONT');
    await page.clock.fastForward(60000);
    await results(page).getByText(shutterText(await previewOf(stack, { ...STORED, cameraHeight: 8 }))).waitFor();
    await notice(page, 'Previewing values').waitFor();

    await stopPart(stack.httpd);
    await field(page, 'Camera height (m)').fill('9');
    await notice(page, 'No answer from the camera\'s web server').waitFor();
  });

  it('passes the accessibility check and leaves screenshots, light and dark, desktop and phone', async (t) => {
    const { page } = await open(t);
    await settled(page);
    for (const colorScheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme });
      for (const viewport of [{ width: 1280, height: 800 }, { width: 390, height: 844 }]) {
        await page.setViewportSize(viewport);
        await page.waitForTimeout(100);
        const width = await page.evaluate(() => document.documentElement.scrollWidth);
        assert.ok(width <= viewport.width, `the page is ${width} px wide in ${viewport.width} px`);
        await shot(page, `page-${viewport.width}x${viewport.height}-${colorScheme}`);
        assert.deepEqual(await axeViolations(page), [], `${colorScheme} ${viewport.width}`);
        // The current value's label above the plotting area and right of its
        // axis, so clear of the curve and of every tick.
        const clear = await page.evaluate(() => {
          const [label, top] = [document.querySelector('#plot .marker-label'),
            [...document.querySelectorAll('#plot .grid')].pop()].map((e) => e.getBBox());
          return label.y + label.height <= top.y && label.x >= top.x;
        });
        assert.ok(clear, `the plot's label at ${viewport.width} px`);
      }
    }
  });

  it('draws the zero scene whole and prints a one-page commissioning record', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    for (const name of ['Road offset (m)', 'Distance to capture point (m)', 'Camera height (m)', 'Vehicle speed (m/s)']) {
      await field(page, name).fill('0');
    }
    await settled(page);
    const outside = await page.evaluate(() => [...document.querySelectorAll('#diagram text')].filter((e) => {
      const [b, v] = [e.getBBox(), e.ownerSVGElement.viewBox.baseVal];
      return b.x < v.x || b.y < v.y || b.x + b.width > v.x + v.width || b.y + b.height > v.y + v.height;
    }).map((e) => e.textContent));
    assert.deepEqual(outside, [], 'labels drawn outside the diagram');

    await page.getByRole('button', { name: 'Revert' }).click();
    await settled(page);
    await page.emulateMedia({ media: 'print' });
    const record = await page.getByRole('region', { name: 'Commissioning record' }).innerText();
    assert.match(record, new RegExp(`Camera\\s+${new URL(stack.url).host}`));
    assert.match(record, /Vehicle speed\s+10 m\/s/);
    assert.match(record, new RegExp(shutterText(await previewOf(stack, STORED))));
    await shot(page, 'print-preview');
    const pdf = (await page.pdf({ format: 'A4' })).toString('latin1');
    assert.equal(pdf.match(/\/Type\s*\/Page\b/g).length, 1, 'the record takes more than one page');
  });

  it('weighs less than 100 KB as served, in every language', (t) => {
    // A visit fetches the page's files and one catalogue, compressed by the
    // web server as the browser accepts.
    const files = (dir) => readdirSync(dir, { withFileTypes: true }).flatMap((e) =>
      (e.isDirectory() ? (e.name === 'lang' ? [] : files(join(dir, e.name))) : [join(dir, e.name)]));
    const page = files(join(SOURCE, 'web'));
    for (const { code } of LANGUAGES) {
      const visit = [...page, join(SOURCE, 'web', 'lang', `${code}.js`)].map((f) => readFileSync(f));
      const raw = visit.reduce((sum, b) => sum + b.length, 0);
      const served = visit.reduce((sum, b) => sum + gzipSync(b).length, 0);
      t.diagnostic(`${code}: ${visit.length} files, ${raw} bytes, ${served} gzipped`);
      assert.ok(served < 100 * 1024, `${code}: ${served} bytes`);
    }
  });
});

// A finger on the screen, from one point to another (a tap when they are
// the same), as the browser's own touch input.
// Where a slider's thumb stands at a fraction of its range, once the slider
// stands still in the middle of the window (a language's words or a
// preview's answer may still move it); right to left, from its right end.
async function thumbOf(slider, fraction) {
  await slider.evaluate((e) => e.scrollIntoView({ block: 'center', behavior: 'instant' }));
  let box = await slider.boundingBox();
  for (let last = null; JSON.stringify(box) !== JSON.stringify(last);) {
    last = box;
    await slider.page().waitForTimeout(100);
    box = await slider.boundingBox();
  }
  const rtl = await slider.evaluate((e) => getComputedStyle(e).direction === 'rtl');
  const along = 8 + (rtl ? 1 - fraction : fraction) * (box.width - 16);
  return { x: box.x + along, y: box.y + box.height / 2 };
}

async function touch(page, from, to = from, steps = 10) {
  const cdp = await page.context().newCDPSession(page);
  const at = (i) => [{ x: from.x + ((to.x - from.x) * i) / steps, y: from.y + ((to.y - from.y) * i) / steps }];
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: at(0) });
  for (let i = 1; i <= steps && (to.x !== from.x || to.y !== from.y); i++) {
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchMove', touchPoints: at(i) });
  }
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  await cdp.detach();
}

async function applyScene(page, scene) {
  for (const [name, value] of [['Distance to capture point (m)', scene.carDistance],
    ['Camera height (m)', scene.cameraHeight]]) await field(page, name).fill(String(value));
  await applyButton(page).click();
  await notice(page, /^Applied at /).waitFor();
}

// At the roadside: two installers with two phones, a weak link, touch
// screens and a connection that breaks. Each row names the fault it would
// catch.
describe('exposure wizard page at the roadside', () => {
  for (const [what, options, run] of [
    ['a second page sees a scene applied elsewhere, and its own apply is held until it chooses',
      { viewport: { width: 390, height: 844 }, clock: true }, async ({ stack, page: b }, t) => {
        const { page: a } = await open(t, { stack });
        await settled(a);
        await settled(b);
        // B has changed the speed; A stores another scene meanwhile.
        await field(b, 'Vehicle speed (m/s)').fill('12');
        await applyScene(a, { carDistance: 30, cameraHeight: 7 });
        const stored = readConfig(stack);
        const calls = cameraCalls(stack).length;
        await applyButton(b).click();
        await notice(b, /^Not applied: another device stored .*distance to capture point 30 m, camera height 7 m/)
          .waitFor();
        assert.equal(readConfig(stack), stored, 'the held apply stored something');
        assert.equal(cameraCalls(stack).length, calls, 'the held apply reached the camera');
        for (const viewport of [{ width: 1280, height: 800 }, { width: 390, height: 844 }]) {
          await b.setViewportSize(viewport);
          await assertAccessible(b, `held at ${viewport.width} px`);
        }
        await b.emulateMedia({ colorScheme: 'light' });
        await shot(b, 'held-390x844-light');
        await b.getByRole('button', { name: 'Apply my values anyway' }).click();
        await notice(b, /^Applied at .*vehicle speed 12 m\/s\.$/).waitFor();
        assert.match(readConfig(stack), /^carSpeed=12(\.0*)?$/m);

        // A, reloaded, stores again; B, idle, shows it in its fields and
        // says so within 30 s, and its record prints it.
        await a.reload();
        await settled(a);
        await applyScene(a, { carDistance: 40, cameraHeight: 8 });
        await b.clock.fastForward(30000);
        await notice(b, /^Another device stored a new scene, read at .*distance to capture point 40 m/).waitFor();
        assert.equal(await field(b, 'Camera height (m)').inputValue(), '8');
        await assertAccessible(b, 'stored elsewhere');
        await b.emulateMedia({ media: 'print' });
        const its = shutterText(await previewOf(stack, { ...STORED, carDistance: 40, cameraHeight: 8, carSpeed: 12 }));
        assert.match(await b.getByRole('region', { name: 'Commissioning record' }).innerText(),
          new RegExp(`Stored scene read[^]*Distance to capture point\\s+40 m[^]*${its}`));
      }],

    ['typing on a weak link before the stored scene arrives is not lost', { throttled: true },
      async ({ page }) => {
        // Not editable until the scene is there, and saying so, as served.
        const height = field(page, 'Camera height (m)');
        await height.waitFor({ state: 'attached' });
        assert.equal(await height.isEditable(), false);
        assert.equal(await height.getAttribute('placeholder'), 'Loading…');
        await height.fill('6');
        await settled(page);
        await notice(page, 'Previewing values').waitFor();
        assert.equal(await height.inputValue(), '6');
      }],

    ['on a weak link: few requests until idle, and the stored scene soon in the fields', { throttled: true },
      async ({ page, seen }, t) => {
        // A first open, then a reload that has every file already.
        for (const open of ['open', 'reload']) {
          if (open === 'reload') {
            Object.assign(seen, { urls: [], api: 0, bytes: 0 });
            await page.reload({ waitUntil: 'commit' });
          }
          const at = await page.waitForFunction(() => document.getElementById('carDistance')?.value === '20' &&
            performance.now(), null, { polling: 'raf', timeout: 30000 });
          const storedAfter = Math.round(await at.jsonValue());
          await settled(page);
          await notice(page, 'Showing the stored scene.').waitFor();
          const idleAfter = Math.round(await page.evaluate(() => performance.now()));
          await page.waitForTimeout(2000);
          t.diagnostic(`400 kbit/s, 400 ms round trip, ${open}: the stored scene in the fields after ` +
            `${storedAfter} ms, idle after ${idleAfter} ms; ${seen.urls.length} requests (${seen.api} to the ` +
            `daemon), ${seen.bytes} bytes`);
          assert.ok(seen.urls.length <= 15, `${seen.urls.length} requests until idle:\n${seen.urls.join('\n')}`);
        }
      }],

    ['a vertical swipe from a slider scrolls and leaves its value; its thumb still drags',
      { viewport: { width: 390, height: 844 }, touch: true }, async ({ page }) => {
        await settled(page);
        const distance = field(page, 'Distance to capture point (m)');
        const box = await slider(page, 'Distance to capture point slider').boundingBox();
        const centre = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
        await touch(page, centre);
        const scrolled = await page.evaluate(() => window.scrollY);
        await touch(page, centre, { x: centre.x, y: centre.y - 300 });
        await page.waitForTimeout(400);
        assert.ok(await page.evaluate((y) => window.scrollY > y, scrolled), 'the swipe did not scroll');
        assert.equal(await distance.inputValue(), '20', 'a tap or the swipe moved the slider');
        const thumb = await thumbOf(slider(page, 'Distance to capture point slider'), 20 / 200);
        await touch(page, thumb, { x: thumb.x + 60, y: thumb.y });
        await until(async () => Number(await distance.inputValue()) > 20, 'the thumb dragged');

        // Right to left, the slider runs from the right, and its thumb is
        // dragged that way.
        await page.getByRole('combobox').selectOption('ar');
        const metres = async () => Number((await field(page, label('ar', 'carDistance', 'unitM')).inputValue())
          .replace(/[٠-٩]/g, (d) => d.charCodeAt(0) - 0x660).replace('٫', '.'));
        await page.waitForFunction(() => document.documentElement.dir === 'rtl'
          && !document.documentElement.classList.contains('translating'));
        const was = await metres();
        const its = await thumbOf(slider(page, words('ar', 'carDistanceSlider')), was / 200);
        await touch(page, its, { x: its.x - 60, y: its.y });
        await until(async () => await metres() > was, 'the thumb dragged right to left');
      }],

    ['a unit switch converts every number, in its interval or not, and keeps a text that is none', {},
      async ({ page }) => {
        await settled(page);
        for (const [typed, unit, shown, message] of [
          ['60', 'km/h', '216', ''],
          ['90', 'km/h', '324', 'Must be from 0 to 252 km/h.'],
          ['90', 'mph', '201.3', 'Must be from 0 to 156.5 mph.'],
          ['fast', 'km/h', 'fast', 'Enter a number such as 12.5 or 12,5, without thousands separators.'],
        ]) {
          await page.getByRole('radio', { name: 'm/s' }).check();
          await field(page, 'Vehicle speed (m/s)').fill(typed);
          await page.getByRole('radio', { name: unit }).check();
          const speed = field(page, `Vehicle speed (${unit})`);
          assert.equal(await speed.inputValue(), shown, `${typed} m/s in ${unit}`);
          assert.equal(await page.locator('#carSpeed-error').textContent(), message, `${typed} m/s in ${unit}`);
        }
      }],

    ['a connection that breaks is not blamed on the service', { clock: true }, async ({ stack, page }) => {
      await settled(page);
      // The daemon takes the request and dies holding it: the connection
      // ends without an answer, while the web server answers.
      const handed = () => stack.httpd.output().match(/-> lanecamd$/gm).length;
      const before = handed();
      process.kill(stack.daemon.proc.pid, 'SIGSTOP');
      await field(page, 'Camera height (m)').fill('8');
      await until(() => handed() > before, 'the preview handed over');
      process.kill(stack.daemon.proc.pid, 'SIGKILL');
      await notice(page, /broke off before its answer came/).waitFor();
      assert.equal(await page.getByText('Check that the service is running').count(), 0);
      await assertAccessible(page, 'connection broke');
      await restartDaemon(stack);
      await page.clock.fastForward(60000);
      await results(page).getByText(shutterText(await previewOf(stack, { ...STORED, cameraHeight: 8 }))).waitFor();
    }],
  ]) {
    it(what, async (t) => run(await open(t, options), t));
  }
});

// Everything the page says: what it shows, what a screen reader is told
// (names, values, announcements, the drawings' titles and descriptions) and
// what the printout carries.
function everythingSaid(page) {
  return page.evaluate(() => {
    const attributes = [...document.querySelectorAll('[aria-label], [aria-valuetext], [placeholder]')]
      .flatMap((e) => ['aria-label', 'aria-valuetext', 'placeholder'].map((a) => e.getAttribute(a) ?? ''));
    const drawn = [...document.querySelectorAll('svg title, svg desc, svg text')].map((e) => e.textContent);
    return [document.title, document.body.innerText, ...attributes, ...drawn,
      document.getElementById('results-said').textContent, document.getElementById('record-list').textContent]
      .join('\n').replace(/\s+/g, ' ').replaceAll('\u00ad', '');
  });
}

// The English catalogue's fixed words, sentence by sentence: none may be
// said in another language, unless that language has the same word.
const messages = (catalogue) => Object.values(catalogue).flatMap((m) => (typeof m === 'object' ? Object.values(m) : [m]));
const ENGLISH = [...new Set(messages(CATALOGUES.en).flatMap((m) => m.split(/\{\w+\}/))
  .map((part) => part.replace(/\s+/g, ' ').replace(/^[\s,.:;()·]+|[\s,.:;()·…]+$/g, ''))
  .filter((part) => /[A-Za-z]{3}/.test(part)))];
const asWords = (part) => new RegExp(`(^|[^\\p{L}])${part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}($|[^\\p{L}])`, 'u');

async function assertNoEnglish(page, code, what) {
  if (code === 'en') return;
  const own = messages(CATALOGUES[code]).join('\n');
  const said = await everythingSaid(page);
  const english = ENGLISH.filter((part) => asWords(part).test(said) && !asWords(part).test(own));
  assert.deepEqual(english, [], `English in the ${code} page: ${what}`);
}

const language = (page) => page.evaluate(() => [document.documentElement.lang, document.documentElement.dir]);

// The page in the installer's language, one row a language: the browser's
// language picks it, and the first view, a value out of its interval, a
// refused apply and a service that does not answer say nothing in English;
// the page's choice of language switches it at once and is remembered.
describe('exposure wizard page in the installer\'s language', () => {
  for (const [locale, code, dir, other] of [['fr-FR', 'fr', 'ltr', 'ar'], ['ar-EG', 'ar', 'rtl', 'fr'],
    ['en-GB', 'en', 'ltr', 'de']]) {
    it(`${locale}: in ${code}, ${dir}, and then in ${other} by choice`, async (t) => {
      const { stack, page } = await open(t, { locale, camera: ['--fail', 'MaxExposureTime'],
        viewport: { width: 390, height: 844 } });
      const say = (key, values) => words(code, key, values);
      await settled(page);
      assert.deepEqual(await language(page), [code, dir]);
      await notice(page, say('showing')).waitFor();
      await assertNoEnglish(page, code, 'the first view');

      const offset = field(page, label(code, 'roadOffset', 'unitM'));
      await offset.fill('25');
      await page.locator('#roadOffset-error').filter({ hasText: say('mustBeFrom', { range: '' }).slice(0, 8) }).waitFor();
      await assertNoEnglish(page, code, 'a value out of its interval');
      await offset.fill('3');
      await settled(page);

      await slider(page, say('carSpeedSlider')).press('ArrowRight');
      await applyButton(page, code).click();
      await notice(page, say('storedNotTaken')).waitFor();
      await shot(page, `refused-${code}-390x844-light`);
      await assertNoEnglish(page, code, 'a refused apply');

      await stopPart(stack.daemon);
      await page.reload();
      await notice(page, say('noService')).waitFor();
      await assertNoEnglish(page, code, 'the service down');
      await restartDaemon(stack);

      await page.getByRole('combobox', { name: say('language') }).selectOption(other);
      await applyButton(page, other).waitFor();
      assert.deepEqual(await language(page), [other, other === 'ar' ? 'rtl' : 'ltr']);
      await page.reload();
      await settled(page);
      assert.deepEqual(await language(page), [other, other === 'ar' ? 'rtl' : 'ltr'], 'the choice was not kept');
      await assertNoEnglish(page, other, 'after the choice and a reload');
    });
  }

  it('lays out every language on a phone, at 320 px and at 200 % zoom, with targets of 44 px', async (t) => {
    const { page } = await open(t, { viewport: { width: 390, height: 844 } });
    await settled(page);
    // The browser's font size reaches every word; in forced colours each
    // kind of status keeps a sign of its own.
    const sizes = await page.evaluate(() => {
      document.documentElement.style.fontSize = '32px';
      const px = ['label', 'input[type="text"]', 'button', '#status-text', 'legend']
        .map((q) => getComputedStyle(document.querySelector(q)).fontSize);
      document.documentElement.style.fontSize = '';
      return px;
    });
    assert.deepEqual(sizes, Array(5).fill('32px'), 'label, field, button, status, legend at a 32 px font');
    await page.emulateMedia({ forcedColors: 'active' });
    const signs = await page.evaluate(() => ['info', 'busy', 'notice', 'success', 'error'].map((kind) => {
      document.getElementById('status').className = `status ${kind}`;
      return getComputedStyle(document.getElementById('status'), '::before').content;
    }));
    assert.equal(new Set(signs.filter((c) => c && c !== 'none')).size, 5, signs.join(' '));
    await page.emulateMedia({ forcedColors: 'none' });

    for (const { code } of LANGUAGES) {
      await page.getByRole('combobox').selectOption(code);
      await page.waitForFunction((c) => document.documentElement.lang === c &&
        !document.documentElement.classList.contains('translating'), code);
      for (const viewport of [{ width: 390, height: 844 }, { width: 320, height: 640 }, { width: 195, height: 422 }]) {
        await page.setViewportSize(viewport);
        assert.deepEqual(await page.evaluate(layoutFaults), [], `${code} at ${viewport.width} × ${viewport.height}`);
        if (viewport.width !== 320) await shot(page, `lang-${code}-${viewport.width}x${viewport.height}`, true);
      }
      await page.setViewportSize({ width: 390, height: 844 });
    }
  });
});

// In the page: what is wider than the window, what overlaps its neighbour,
// a label beside its field where the window is narrow, and a target
// smaller than 44 × 44 px (a radio's is its label).
function layoutFaults() {
  const width = document.documentElement.clientWidth;
  const faults = [];
  const name = (el) => `${el.tagName.toLowerCase()}${el.id ? `#${el.id}` : ''}${el.className && typeof el.className === 'string'
    ? `.${el.className.split(' ')[0]}` : ''} "${(el.textContent ?? '').trim().slice(0, 20)}"`;
  const box = (el) => el.getBoundingClientRect();
  const shown = (el) => box(el).width > 0 && box(el).height > 0;
  if (document.documentElement.scrollWidth > width) faults.push(`the page is ${document.documentElement.scrollWidth} px wide`);
  for (const el of document.querySelectorAll('body *')) {
    if (!shown(el) || el.closest('svg, .visually-hidden, select')) continue;
    const r = box(el);
    if (r.left < -0.5 || r.right > width + 0.5) faults.push(`${name(el)} runs from ${r.left} to ${r.right}`);
    if (!['INPUT', 'SELECT'].includes(el.tagName) && el.clientWidth && el.scrollWidth > el.clientWidth + 1) {
      faults.push(`${name(el)}: its content is ${el.scrollWidth} px wide in ${el.clientWidth}`);
    }
  }
  for (const parent of document.querySelectorAll('.heading, .language, .field, .units, .actions, .status, .summary, dl')) {
    const kids = [...parent.children].filter(shown);
    for (const [i, a] of kids.entries()) {
      for (const b of kids.slice(i + 1)) {
        const [p, q] = [box(a), box(b)];
        const apart = p.right <= q.left + 0.5 || q.right <= p.left + 0.5 || p.bottom <= q.top + 0.5 || q.bottom <= p.top + 0.5;
        if (!apart) faults.push(`${name(a)} overlaps ${name(b)}`);
      }
    }
  }
  if (width <= 320) {
    for (const label of document.querySelectorAll('.field label')) {
      const input = document.getElementById(label.htmlFor);
      if (box(label).bottom > box(input).top + 0.5) faults.push(`${name(label)} is not above its field`);
    }
  }
  for (const el of document.querySelectorAll('input, button, select')) {
    const target = el.type === 'radio' ? el.closest('label') : el;
    if (!shown(target)) continue;
    const r = box(target);
    if (r.width < 44 - 0.5 || r.height < 44 - 0.5) faults.push(`${name(target)} is ${r.width} × ${r.height} px`);
  }
  return faults;
}
