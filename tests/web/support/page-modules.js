// SPDX-License-Identifier: MIT
// The page's modules for Node: web/js and web/lang, served as they stand,
// have no package.json to say they are ES modules, and Node before 22 reads
// them as CommonJS; a copy beside one that says so loads in every Node.

import { cpSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { SOURCE } from './stack.js';

const dir = mkdtempSync(join(tmpdir(), 'lanecamd-page-'));
for (const part of ['js', 'lang']) cpSync(join(SOURCE, 'web', part), join(dir, part), { recursive: true });
writeFileSync(join(dir, 'package.json'), '{ "type": "module" }\n');
process.on('exit', () => rmSync(dir, { recursive: true, force: true }));

// A module of web/js ('form.js'), or of web/ ('lang/fr.js').
export function pageModule(name) {
  return import(pathToFileURL(join(dir, name.includes('/') ? name : join('js', name))).href);
}
