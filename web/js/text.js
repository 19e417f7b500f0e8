// SPDX-License-Identifier: MIT
// The page's words: the languages it speaks, the one it speaks now, and
// each sentence by its key from that language's catalogue (web/lang/;
// English's is the wording the others follow). Loaded before the page is
// first drawn, importing nothing: it sets the document's language and
// direction and starts fetching the one catalogue needed at once, so the
// words arrive with the stored scene.

// Each language by its own name. `locale` is the one its numbers and times
// are written in: Arabic in its own digits, which plain "ar" no longer
// gives.
export const LANGUAGES = [
  { code: 'en', name: 'English' },
  { code: 'de', name: 'Deutsch' },
  { code: 'fr', name: 'Français' },
  { code: 'es', name: 'Español' },
  { code: 'it', name: 'Italiano' },
  { code: 'pl', name: 'Polski' },
  { code: 'pt', name: 'Português' },
  { code: 'ar', name: 'العربية', dir: 'rtl', locale: 'ar-u-nu-arab' },
].map((l) => ({ dir: 'ltr', locale: l.code, ...l }));

// The language chosen on the page, kept in the browser as JSON.
export const LANGUAGE_KEY = 'lanecamd.language';

const byCode = (code) => LANGUAGES.find((l) => l.code === code);

// The language to speak: the one chosen on this page before, else the
// first of the browser's languages (`preferred`, as navigator.languages)
// that the page speaks, else English.
export function pickLanguage(stored, preferred) {
  if (byCode(stored)) return stored;
  for (const tag of preferred ?? []) {
    const code = String(tag).toLowerCase().split(/[-_]/)[0];
    if (byCode(code)) return code;
  }
  return 'en';
}

let current = byCode('en');
let words = null;
let asked = 0;
const plurals = new Map();

// The language spoken now: {code, name, dir, locale}.
export function language() {
  return current;
}

function catalogue(code) {
  return import(`../lang/${code}.js`).then((m) => m.default);
}

// A number in a sentence: `text` as numbers.js writes it, and what picks the
// sentence's plural form, `value` shown with `digits` decimals.
export function counted(value, text, digits = 0) {
  return { value, text, digits };
}

function pluralForm(forms, values) {
  const n = Object.values(values).find((v) => typeof v === 'object' && v !== null);
  if (!n) return forms.other;
  const key = `${current.locale}|${n.digits}`;
  if (!plurals.has(key)) {
    plurals.set(key, new Intl.PluralRules(current.locale,
      { minimumFractionDigits: n.digits, maximumFractionDigits: n.digits }));
  }
  return forms[plurals.get(key).select(n.value)] ?? forms.other;
}

// The sentence `key` in the language spoken, its {placeholders} filled from
// `values`: texts, counted numbers, or functions that give one when the
// sentence is shown (a number kept for a later language's digits). The
// key itself when no catalogue could be loaded at all.
export function t(key, values = {}) {
  let message = words?.[key];
  if (message === undefined) return key;
  const shown = Object.fromEntries(Object.entries(values).map(([k, v]) => [k, typeof v === 'function' ? v() : v]));
  if (typeof message === 'object') message = pluralForm(message, shown);
  return message.replace(/\{(\w+)\}/g, (all, name) => {
    const v = shown[name];
    if (v === undefined) return all;
    return typeof v === 'object' ? v.text : String(v);
  });
}

// A text for a drawing's markup.
export function escapeText(text) {
  return String(text).replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);
}

// What the page says, kept as keys until it is shown, so that a language
// chosen later says it too: {key, values}, or a list of them said one after
// the other.
export function say(said) {
  if (!said) return '';
  if (Array.isArray(said)) return said.map(say).join(' ');
  return t(said.key, said.values);
}

// The words the markup holds: data-text (the element's text), data-label
// (its aria-label) and data-placeholder.
function translateDocument() {
  document.title = t('title');
  for (const el of document.querySelectorAll('[data-text]')) el.textContent = t(el.dataset.text);
  for (const el of document.querySelectorAll('[data-label]')) el.setAttribute('aria-label', t(el.dataset.label));
  for (const el of document.querySelectorAll('[data-placeholder]')) el.placeholder = t(el.dataset.placeholder);
}

// Speaks `code` from now on: the document's language and direction at once,
// its words once the catalogue is in (English when it cannot be loaded).
// Resolves when the page may draw in it; a later call wins over an earlier
// one still loading.
export async function useLanguage(code) {
  let speaking = byCode(code) ?? byCode('en');
  const mine = ++asked;
  const root = document.documentElement;
  root.lang = speaking.code;
  root.dir = speaking.dir;
  // Until its words are in, the page shows no words of another language.
  root.classList.toggle('translating', speaking.code !== 'en');
  let loaded = await catalogue(speaking.code).catch(() => null);
  if (!loaded && speaking.code !== 'en') {
    speaking = byCode('en');
    loaded = await catalogue('en').catch(() => null);
  }
  if (mine !== asked) return;
  current = speaking;
  words = loaded;
  root.lang = speaking.code;
  root.dir = speaking.dir;
  if (words) translateDocument();
  root.classList.remove('translating');
}

function storedChoice() {
  try {
    return JSON.parse(localStorage.getItem(LANGUAGE_KEY));
  } catch {
    return null;
  }
}

// The language the page opens in, its catalogue asked for right away.
export const ready = globalThis.document
  ? useLanguage(pickLanguage(storedChoice(), navigator.languages)) : Promise.resolve();

// For tests outside a browser: the words of one catalogue, and its language.
export function useCatalogue(code, catalogueWords) {
  current = byCode(code);
  words = catalogueWords;
}
