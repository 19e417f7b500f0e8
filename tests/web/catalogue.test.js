// SPDX-License-Identifier: MIT
// The catalogues, one row a language: each language the page lists has
// one, with exactly English's keys, each sentence with English's
// {placeholders}, and a sentence that varies with a number with every form
// its language's plural rules name; English has a sentence for each key of
// the clients' policy. And the English the page is served with is the
// English catalogue's. A failure names what is missing or wrong.

import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { SOURCE } from './support/stack.js';
import { pageModule } from './support/page-modules.js';

const { LANGUAGES } = await pageModule('text.js');
const en = (await pageModule('lang/en.js')).default;

const placeholders = (text) => [...new Set([...text.matchAll(/\{(\w+)\}/g)].map((m) => m[1]))].sort().join(', ');
const forms = (message) => (typeof message === 'object' ? Object.entries(message) : [['', message]]);

function problemsOf(words, locale) {
  const problems = [];
  for (const key of Object.keys(en)) if (!(key in words)) problems.push(`missing ${key}`);
  const categories = new Intl.PluralRules(locale).resolvedOptions().pluralCategories;
  for (const [key, message] of Object.entries(words)) {
    if (!(key in en)) {
      problems.push(`extra ${key}`);
      continue;
    }
    const wanted = placeholders(forms(en[key])[0][1]);
    for (const [form, text] of forms(message)) {
      const name = form ? `${key}.${form}` : key;
      if (typeof text !== 'string' || !text.trim()) problems.push(`${name} has no text`);
      else if (placeholders(text) !== wanted) problems.push(`${name} takes {${placeholders(text)}}, English {${wanted}}`);
    }
    if (typeof message === 'object') {
      for (const c of categories) if (!(c in message)) problems.push(`${key} has no "${c}" form`);
    }
  }
  return problems;
}

describe('catalogues', () => {
  it('one for each language listed, and each listed', () => {
    const files = readdirSync(join(SOURCE, 'web', 'lang')).map((f) => f.replace(/\.js$/, '')).sort();
    assert.deepEqual(files, LANGUAGES.map((l) => l.code).sort());
  });

  for (const { code, locale } of LANGUAGES) {
    it(`${code}: English's keys, placeholders and plural forms`, async () => {
      assert.deepEqual(problemsOf((await pageModule(`lang/${code}.js`)).default, locale), []);
    });
  }

  it('a sentence for each key the clients\' policy names', async () => {
    const { POLICY } = await pageModule('api.js');
    const keys = (value, name) => (typeof value === 'object' && !Array.isArray(value)
      ? Object.entries(value).flatMap(([n, v]) => keys(v, n))
      : [value].filter((v) => typeof v === 'string' && name !== 'kind'));
    assert.deepEqual(keys(POLICY).filter((key) => !(key in en)), []);
  });

  it('the page as served holds the English catalogue\'s words', () => {
    const html = readFileSync(join(SOURCE, 'web', 'index.html'), 'utf8');
    const plain = (s) => s.replace(/\s+/g, ' ').trim();
    const attribute = (tag, name) => tag.match(new RegExp(`\\s${name}="([^"]*)"`))?.[1];
    const differ = [];
    const marked = [...html.matchAll(/<[^>]*\sdata-(text|label|placeholder)="(\w+)"[^>]*>([^<]*)/g)];
    for (const [tag, kind, key, content] of marked) {
      const served = { text: content, label: attribute(tag, 'aria-label'), placeholder: attribute(tag, 'placeholder') }[kind];
      if (plain(served ?? '') !== plain(en[key] ?? `(no ${key})`)) differ.push(`${key}: "${plain(served ?? '')}"`);
    }
    const title = plain(html.match(/<title>([^<]*)</)[1]);
    if (title !== en.title) differ.push(`title: "${title}"`);
    assert.ok(marked.length > 20, `${marked.length} words marked in the page`);
    assert.deepEqual(differ, []);
  });
});
