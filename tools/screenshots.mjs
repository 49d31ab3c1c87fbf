// SPDX-License-Identifier: MIT
// The README's pictures of both pages: the program writes a classic and a modern 4x4 puzzle of the
// fixture's drawn scene, and Chromium, as the browser tests drive it, shows each from disk.
// `make screenshots` runs it after a build; rerun it whenever a page changes.
//
//   node screenshots.mjs --tilemaven PATH --fixture PATH --out DIR
//
// Writes DIR/classic-page.png and DIR/modern-page.png.

import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { pathToFileURL } from 'node:url';

import { engines } from './engines.mjs';
import { headlessEnv, run, until } from './harness.mjs';

const { values: options } = parseArgs({
  options: { tilemaven: { type: 'string' }, fixture: { type: 'string' }, out: { type: 'string' } },
});
if (!options.tilemaven || !options.fixture || !options.out) {
  console.error('usage: node screenshots.mjs --tilemaven PATH --fixture PATH --out DIR');
  process.exit(2);
}

// The window each page is shown in, in CSS pixels: the classic page is as wide as its picture, the
// modern one fits whatever window it is given.
const kShots = [
  { name: 'classic-page', args: [], width: 720, height: 600 },
  { name: 'modern-page', args: ['--page', 'modern', '--title', 'Evening'], width: 720, height: 600 },
];

const work = mkdtempSync(join(tmpdir(), 'tilemaven-screenshots-'));
const engine = await engines.chromium(work);
try {
  await run(options.fixture, ['scene', work]);
  mkdirSync(options.out, { recursive: true });
  for (const shot of kShots) {
    const folder = join(work, shot.name);
    await run(options.tilemaven, ['--grid', '4', ...shot.args, join(work, 'scene.jpg'), folder],
      { env: headlessEnv() });
    const page = await engine.newPage();
    await page.resize(shot.width, shot.height);
    await page.open(pathToFileURL(join(folder, 'index.html')).href);
    await until('every piece has loaded', () => page.evaluate(
      () => Array.from(document.images).every((img) => img.complete && img.naturalWidth > 0)));
    // Two swaps, as a visitor's first moves: the classic page swaps on two clicks, the modern one
    // on a pick and a drop.
    for (const [a, b] of [[12, 1], [14, 6]]) {
      await page.click(a);
      await page.click(b);
    }
    writeFileSync(join(options.out, `${shot.name}.png`), await page.screenshot());
    await page.close();
    console.log(`wrote ${join(options.out, shot.name)}.png`);
  }
} finally {
  await engine.close();
  rmSync(work, { recursive: true, force: true });
}
