// SPDX-License-Identifier: MIT
// The whole chain behind the page, each part a real process in a temporary
// directory, through tools/stack: a private bus with the fake camera on it,
// the daemon on its own transfer socket and a copy of the sample
// configuration, and lanecam-httpd serving web/ in front of it. Paths come
// from LANECAMD_BUILD_DIR (the build tree, default build/ at the top of the
// source tree).

import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

export const SOURCE = fileURLToPath(new URL('../../..', import.meta.url));
export const BUILD = resolve(process.env.LANECAMD_BUILD_DIR ?? join(SOURCE, 'build'));

// One command to the launcher (none: its start), answered by KEY=VALUE
// lines, kept in s.at, and "ready", or by "error WHY".
function ask(s, command) {
  if (s.closed) return Promise.reject(new Error(`tools/stack has ended:\n${s.errors}`));
  if (command) s.launcher.stdin.write(`${command}\n`);
  return new Promise((resolveAnswer, rejectAnswer) => s.waiting.push({ resolveAnswer, rejectAnswer }));
}

// A part of the stack as the tests use it: its pid and its output so far.
function part(s, name) {
  return {
    name, stack: s, proc: { get pid() { return Number(s.at[`pid.${name}`]); } },
    output: () => readFileSync(s.at[`log.${name}`], 'utf8'),
  };
}

// camera: extra fake-camera arguments (['--fail', 'MaxExposureTime'], say);
// unstorable: the daemon cannot store a scene (the name of its temporary
// file is taken by a directory, which stops root as well).
export async function startStack({ camera = [], unstorable = false } = {}) {
  const launcher = spawn(join(SOURCE, 'tools', 'stack'),
    ['--port', '0', '--build', BUILD, ...(unstorable ? ['--unstorable'] : []), '--', ...camera]);
  const s = { launcher, waiting: [], at: {}, errors: '' };
  launcher.stdin.on('error', () => {}); // it has ended, and says why on its standard error
  launcher.stderr.on('data', (chunk) => { s.errors += chunk; });
  // Besides answers, "ended NAME STATUS" tells of a part a test killed.
  createInterface({ input: launcher.stdout }).on('line', (line) => {
    const at = line.indexOf('=');
    if (line === 'ready') s.waiting.shift().resolveAnswer();
    else if (line.startsWith('error ')) s.waiting.shift().rejectAnswer(new Error(`tools/stack: ${line}\n${s.errors}`));
    else if (at > 0) s.at[line.slice(0, at)] = line.slice(at + 1);
  });
  s.exited = new Promise((resolveExit) => launcher.on('close', (code, signal) => {
    s.closed = true;
    for (const { rejectAnswer } of s.waiting.splice(0)) {
      rejectAnswer(new Error(`tools/stack ended (${code ?? signal}):\n${s.errors}`));
    }
    resolveExit();
  }));
  await ask(s, null);
  const { dir, config, record, socket, url } = s.at;
  return Object.assign(s, { dir, config, record, socket, url, daemon: part(s, 'daemon'), httpd: part(s, 'httpd') });
}

// The launcher stops the parts in reverse order of starting and removes the
// directory once its input closes.
export async function stopStack(s) {
  if (!s) return;
  s.launcher.stdin.end();
  await s.exited;
}

export function stopPart(part) {
  return ask(part.stack, `stop ${part.name}`);
}

// A new daemon on the same socket, configuration and bus.
export function restartDaemon(s) {
  return ask(s, 'start daemon');
}

export function readConfig(s) {
  return readFileSync(s.config, 'utf8');
}

// The calls the fake camera received, one line each, without where they went.
export function cameraCalls(s) {
  return readFileSync(s.record, 'utf8').split('\n').filter(Boolean).map((l) => l.split('\t')[0]);
}

// One request through the front end, as the page sends it.
export async function post(s, request) {
  const response = await fetch(new URL('roadshotwizard.cgi', s.url), {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(request),
  });
  return { status: response.status, text: await response.text() };
}
