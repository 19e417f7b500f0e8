// SPDX-License-Identifier: MIT
// The exposure wizard page in a real browser, in front of the real front
// end, daemon and fake camera. Screenshots go to BUILD/web-screenshots.

import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, readdirSync, statSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import {
  BUILD, SOURCE, cameraCalls, post, readConfig, startStack, stopPart, stopStack,
} from './support/stack.js';

const require = createRequire(import.meta.url);
const AXE = require.resolve('axe-core/axe.min.js');
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

// A page on a fresh stack, counting its requests to the daemon and keeping
// every address it asked for.
async function open(t, { camera, viewport = { width: 1280, height: 800 }, colorScheme = 'light' } = {}) {
  const stack = await startStack({ camera });
  const context = await browser.newContext({ viewport, colorScheme });
  const page = await context.newPage();
  const seen = { urls: [], api: 0 };
  page.on('request', (r) => {
    seen.urls.push(r.url());
    if (r.url().endsWith('roadshotwizard.cgi')) seen.api += 1;
  });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // What the front end's Content-Security-Policy refuses shows only here.
  page.on('console', (m) => {
    if (m.type() === 'error' && m.text().includes('Content Security Policy')) errors.push(m.text());
  });
  t.after(async () => {
    await context.close();
    await stopStack(stack);
    assert.deepEqual(errors, [], 'script errors in the page');
  });
  await page.goto(stack.url);
  return { stack, page, seen };
}

// Waits until the settings shown belong to the fields and the plot is whole.
function settled(page) {
  return page.waitForFunction(() =>
    document.getElementById('r-shutter').textContent.includes('µs') &&
    !document.getElementById('results-note').textContent &&
    !document.getElementById('plot-note').textContent, null, { timeout: 15000 });
}

const field = (page, name) => page.getByRole('spinbutton', { name });
const slider = (page, name) => page.getByRole('slider', { name });
const results = (page) => page.getByRole('region', { name: 'Camera settings' });
const notice = (page, text) => page.getByRole('status').filter({ hasText: text });

// How the page writes the max shutter of a set reply's data.
function shutterText(data) {
  return `${Math.round(data.maxShutter)} µs, about 1/${Math.round(1e6 / data.maxShutter)} s`;
}

async function previewOf(stack, scene) {
  const reply = await post(stack, { apiVersion: '1.0', method: 'set', params: { apply: false, ...scene } });
  return JSON.parse(reply.text).data;
}

// axe goes in through the debugging protocol: the page's own policy refuses
// an injected script tag, as it should.
async function axeViolations(page) {
  await page.evaluate(`${readFileSync(AXE, 'utf8')}\n;true`);
  return page.evaluate(async () => {
    const found = await window.axe.run(document, { resultTypes: ['violations'] });
    return found.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
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
      assert.equal(await slider(page, name).inputValue(), value, `${name} slider`);
      assert.equal(await slider(page, name).getAttribute('min'), min, `${name} minimum`);
      assert.equal(await slider(page, name).getAttribute('max'), max, `${name} maximum`);
    }
    const shown = await results(page).innerText();
    assert.match(shown, new RegExp(shutterText(await previewOf(stack, STORED))));
    assert.match(shown, /Max gain\s+24\b/);
    assert.match(shown, /Wide dynamic range\s+Off/);
    assert.match(shown, /IR-cut filter\s+Automatic/);
    assert.match(shown, /Iris\s+Automatic/);
    assert.ok(await page.getByText('36 km/h').isVisible());
    const origin = new URL(stack.url).origin;
    assert.deepEqual(seen.urls.filter((u) => !u.startsWith(origin) && !u.startsWith('data:')), []);
    assert.deepEqual(cameraCalls(stack), [], 'the camera was touched by opening the page');
  });

  it('previews every change without storing it or touching the camera', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    const before = readConfig(stack);

    await field(page, 'Camera height (m)').fill('9.5');
    const typed = await previewOf(stack, { ...STORED, cameraHeight: 9.5 });
    await results(page).getByText(shutterText(typed)).waitFor();

    // The keyboard moves the slider, and the field follows it.
    await slider(page, 'Vehicle speed (m/s)').focus();
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowRight');
    assert.equal(await field(page, 'Vehicle speed (m/s)').inputValue(), '11');
    await page.getByText('39.6 km/h').waitFor();
    const slid = await previewOf(stack, { ...STORED, cameraHeight: 9.5, carSpeed: 11 });
    await results(page).getByText(shutterText(slid)).waitFor();

    await settled(page);
    assert.equal(readConfig(stack), before, 'a preview changed the configuration');
    assert.deepEqual(cameraCalls(stack), [], 'a preview reached the camera');
    assert.ok(await page.getByText('Not applied yet').isVisible());
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
      await page.getByRole('button', { name: 'Apply' }).click();
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
    await page.getByRole('button', { name: 'Apply' }).click();
    await notice(page, /^Applied at \d\d:\d\d\.$/).waitFor();

    const config = readConfig(stack);
    for (const [key, value] of Object.entries(scene)) {
      assert.match(config, new RegExp(`^${key}=${value}(\\.0*)?$`, 'm'), key);
    }
    const expected = await previewOf(stack, scene);
    const calls = cameraCalls(stack);
    assert.ok(calls.includes(`Set MaxExposureTime i ${Math.trunc(expected.maxShutter)}`), calls.join('\n'));
    assert.ok(calls.some((c) => /^(SetDayNightMode|Set DayNightEnabled)/.test(c)), calls.join('\n'));
    assert.equal(await page.getByText('Not applied yet').count(), 0);

    await field(page, 'Camera height (m)').fill('12');
    await page.getByRole('button', { name: 'Revert' }).click();
    await until(async () => (await field(page, 'Camera height (m)').inputValue()) === '6', 'the reverted height');
    await settled(page);
    await results(page).getByText(shutterText(expected)).waitFor();
  });

  it('says so when the camera does not take the settings', async (t) => {
    const { page } = await open(t, { camera: ['--fail', 'MaxExposureTime'] });
    await settled(page);
    await field(page, 'Camera height (m)').fill('5');
    await page.getByRole('button', { name: 'Apply' }).click();
    await notice(page, 'could not be stored, or the camera did not take them').waitFor();
    assert.equal(await page.getByText(/Applied at/).count(), 0);
    assert.equal(await page.getByText(/"code"|\{/).count(), 0, 'raw JSON on the page');
    assert.deepEqual(await axeViolations(page), []);
  });

  it('retries by itself while the daemon is busy, and says so', async (t) => {
    // Each apply waits 3 s for the camera, so two of them fill both of the
    // daemon's slots and it answers the page's preview with 503.
    const { stack, page } = await open(t, { camera: ['--delay', 'MaxExposureTime:3000'] });
    await settled(page);
    const apply = { apiVersion: '1.0', method: 'set', params: { apply: true, ...STORED } };
    const held = [post(stack, apply), post(stack, apply)];
    await until(() => cameraCalls(stack).filter((c) => c.startsWith('Set MaxExposureTime')).length === 2,
      'both applies at the camera');

    await field(page, 'Camera height (m)').fill('7');
    await notice(page, /busy with other requests\. Trying again in \d+\.\d s/).waitFor();
    for (const reply of await Promise.all(held)) assert.equal(reply.status, 200);
    const expected = await previewOf(stack, { ...STORED, cameraHeight: 7 });
    await results(page).getByText(shutterText(expected)).waitFor({ timeout: 15000 });
    await until(async () => (await notice(page, 'busy').count()) === 0, 'the busy message to go');
  });

  it('tells a stopped daemon from a stopped web server', async (t) => {
    const { stack, page } = await open(t);
    await settled(page);
    await stopPart(stack.daemon);
    await field(page, 'Camera height (m)').fill('8');
    await notice(page, 'the exposure service behind it did not').waitFor();
    await stopPart(stack.httpd);
    await field(page, 'Camera height (m)').fill('9');
    await notice(page, 'No answer from the camera\'s web server').waitFor();
  });

  it('passes the accessibility check and leaves screenshots, light and dark, desktop and phone', async (t) => {
    mkdirSync(SHOTS, { recursive: true });
    const { page } = await open(t);
    await settled(page);
    for (const colorScheme of ['light', 'dark']) {
      await page.emulateMedia({ colorScheme });
      for (const viewport of [{ width: 1280, height: 800 }, { width: 390, height: 844 }]) {
        await page.setViewportSize(viewport);
        await page.waitForTimeout(100);
        const width = await page.evaluate(() => document.documentElement.scrollWidth);
        assert.ok(width <= viewport.width, `the page is ${width} px wide in ${viewport.width} px`);
        await page.screenshot({ path: join(SHOTS, `page-${viewport.width}x${viewport.height}-${colorScheme}.png`) });
        if (viewport.width === 1280) assert.deepEqual(await axeViolations(page), [], colorScheme);
      }
    }
  });

  it('weighs less than 100 KB', () => {
    const weigh = (dir) => readdirSync(dir, { withFileTypes: true }).reduce((sum, e) =>
      sum + (e.isDirectory() ? weigh(join(dir, e.name)) : statSync(join(dir, e.name)).size), 0);
    assert.ok(weigh(join(SOURCE, 'web')) < 100 * 1024);
  });
});
