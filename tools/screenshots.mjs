// SPDX-License-Identifier: MIT
// The README's pictures of both pages, made as the browser tests make theirs: Chromium draws a
// scene, the program cuts it into a classic and a modern 4x4 puzzle, and Chromium shows each page
// from disk. `make screenshots` runs it after a build; rerun it whenever a page changes.
//
//   node tools/screenshots.mjs --tilemaven PATH --out DIR
//
// Writes DIR/classic-page.png and DIR/modern-page.png.

import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { pathToFileURL } from 'node:url';

import { engines } from '../tests/browser/engines.mjs';
import { headlessEnv, run, until } from '../tests/browser/harness.mjs';

const { values: options } = parseArgs({
  options: { tilemaven: { type: 'string' }, out: { type: 'string' } },
});
if (!options.tilemaven || !options.out) {
  console.error('usage: node tools/screenshots.mjs --tilemaven PATH --out DIR');
  process.exit(2);
}

// The window each page is shown in, in CSS pixels: the classic page is as wide as its picture, the
// modern one fits whatever window it is given.
const kShots = [
  { name: 'classic-page', args: [], width: 720, height: 600 },
  { name: 'modern-page', args: ['--page', 'modern', '--title', 'Evening'], width: 720, height: 600 },
];

// Evening over three ranges of hills and a lake, as JPEG bytes in base64: large, calm shapes, so
// that the puzzle is pleasant to look at and each piece still shows where it belongs.
function drawScene() {
  const canvas = document.createElement('canvas');
  canvas.width = 640;
  canvas.height = 480;
  const g = canvas.getContext('2d');
  const gradient = (y0, y1, stops) => {
    const fill = g.createLinearGradient(0, y0, 0, y1);
    stops.forEach((colour, i) => fill.addColorStop(i / (stops.length - 1), colour));
    return fill;
  };
  g.fillStyle = gradient(0, 330, ['#263478', '#ec785a', '#ffce78']);
  g.fillRect(0, 0, 640, 480);
  g.fillStyle = '#ffecaa';
  g.beginPath();
  g.arc(420, 250, 52, 0, 2 * Math.PI);
  g.fill();
  ['#78466e', '#483260', '#222842'].forEach((colour, i) => {
    g.fillStyle = colour;
    g.beginPath();
    g.moveTo(0, 480);
    for (let x = 0; x <= 640; x += 40) g.lineTo(x, 230 + 40 * i + 30 * Math.sin(x / (70 + 25 * i) + 2 * i));
    g.lineTo(640, 480);
    g.fill();
  });
  g.fillStyle = gradient(370, 480, ['#faaa6e', '#1e2c60']);
  g.fillRect(0, 370, 640, 110);
  return canvas.toDataURL('image/jpeg', 0.92).split(',')[1];
}

const work = mkdtempSync(join(tmpdir(), 'tilemaven-screenshots-'));
const engine = await engines.chromium(work);
try {
  const page = await engine.newPage();
  const scene = join(work, 'scene.jpg');
  writeFileSync(scene, Buffer.from(await page.evaluate(drawScene), 'base64'));
  mkdirSync(options.out, { recursive: true });
  for (const shot of kShots) {
    const folder = join(work, shot.name);
    await run(options.tilemaven, ['--grid', '4', ...shot.args, scene, folder], { env: headlessEnv() });
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
    console.log(`wrote ${join(options.out, shot.name)}.png`);
  }
  await page.close();
} finally {
  await engine.close();
  rmSync(work, { recursive: true, force: true });
}
