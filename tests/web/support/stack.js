// SPDX-License-Identifier: MIT
// The whole chain behind the page, each part a real process in a temporary
// directory: a private bus with the fake camera on it, the daemon on its own
// transfer socket and a copy of the sample configuration, and lanecam-httpd
// serving web/ in front of it. Paths come from LANECAMD_BUILD_DIR (the build
// tree, default build/ at the top of the source tree).

import { spawn } from 'node:child_process';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';

export const SOURCE = fileURLToPath(new URL('../../..', import.meta.url));
export const BUILD = resolve(process.env.LANECAMD_BUILD_DIR ?? join(SOURCE, 'build'));
const READY_MS = 15000;

// Starts a program and resolves once a line of its standard output matches
// `ready`, with the match; the process is in `proc`.
function start(argv, env, ready) {
  const proc = spawn(argv[0], argv.slice(1), { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  const matched = new Promise((resolveReady, rejectReady) => {
    const timer = setTimeout(() => rejectReady(new Error(`${argv[0]} did not start:\n${output}`)), READY_MS);
    const onData = (chunk) => {
      output += chunk;
      const m = output.match(ready);
      if (m) {
        clearTimeout(timer);
        resolveReady(m);
      }
    };
    proc.stdout.on('data', onData);
    proc.stderr.on('data', (chunk) => { output += chunk; });
    proc.on('exit', (code, signal) => {
      clearTimeout(timer);
      rejectReady(new Error(`${argv[0]} ended (${code ?? signal}):\n${output}`));
    });
  });
  return { proc, matched, output: () => output };
}

async function stop(part) {
  if (!part || part.proc.exitCode !== null || part.proc.signalCode !== null) return;
  const exited = once(part.proc, 'exit');
  part.proc.kill('SIGTERM');
  part.proc.kill('SIGCONT'); // one a test stopped
  const timer = setTimeout(() => part.proc.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

function startDaemon(s) {
  s.daemon = start([join(BUILD, 'lanecamd'), '--no-daemon', '--debug'],
    { DBUS_SYSTEM_BUS_ADDRESS: s.bus, LANECAMD_CONFIG: s.config, LANECAMD_TRANSFER_SOCKET: s.socket },
    /transfer socket/);
  s.parts.push(s.daemon);
  return s.daemon.matched;
}

// camera: extra fake-camera arguments (['--fail', 'MaxExposureTime'], say);
// unstorable: the daemon cannot store a scene (the name of its temporary
// file is taken by a directory, which stops root as well).
export async function startStack({ camera = [], unstorable = false } = {}) {
  const dir = mkdtempSync(join(tmpdir(), 'lanecamd-web-'));
  const s = {
    dir,
    config: join(dir, 'lanecamd.conf'),
    record: join(dir, 'camera.calls'),
    socket: join(dir, 'transfer'),
    parts: [],
  };
  cpSync(join(SOURCE, 'data', 'lanecamd.conf'), s.config);
  writeFileSync(s.record, '');
  if (unstorable) mkdirSync(join(dir, '.lanecamd.conf.tmp'));
  try {
    const bus = start(['/usr/bin/dbus-daemon', `--config-file=${join(SOURCE, 'tests', 'bus.conf')}`, '--nofork',
      '--nosyslog', `--address=unix:path=${join(dir, 'bus')}`, '--print-address'], {}, /^(unix:\S+)\n/m);
    s.parts.push(bus);
    s.bus = (await bus.matched)[1];

    const camera_ = start([join(BUILD, 'tests', 'fake-camera', 'fake-camera'), '--record', s.record, ...camera],
      { DBUS_SYSTEM_BUS_ADDRESS: s.bus }, /^ready$/m);
    s.parts.push(camera_);
    await camera_.matched;

    await startDaemon(s);

    s.httpd = start([join(BUILD, 'httpd', 'lanecam-httpd'), '--listen', '127.0.0.1:0',
      '--root', join(SOURCE, 'web'), '--socket', s.socket], {}, /listening on (http:\/\/\S+?)\/?\n/);
    s.parts.push(s.httpd);
    s.url = `${(await s.httpd.matched)[1]}/`;
  } catch (e) {
    await stopStack(s);
    throw e;
  }
  return s;
}

// Stops in reverse order of starting and removes the directory.
export async function stopStack(s) {
  if (!s) return;
  for (const part of [...s.parts].reverse()) await stop(part);
  rmSync(s.dir, { recursive: true, force: true });
}

export function stopPart(part) {
  return stop(part);
}

// A new daemon on the same socket, configuration and bus.
export function restartDaemon(s) {
  return startDaemon(s);
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
