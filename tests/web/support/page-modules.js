// SPDX-License-Identifier: MIT
// The page's modules for Node: web/js, served as it stands, has no
// package.json to say they are ES modules, and Node before 22 reads them as
// CommonJS; a copy beside one that says so loads in every Node.

import { cpSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { SOURCE } from './stack.js';

const dir = mkdtempSync(join(tmpdir(), 'lanecamd-page-'));
cpSync(join(SOURCE, 'web', 'js'), dir, { recursive: true });
writeFileSync(join(dir, 'package.json'), '{ "type": "module" }\n');
process.on('exit', () => rmSync(dir, { recursive: true, force: true }));

export function pageModule(name) {
  return import(pathToFileURL(join(dir, name)).href);
}
