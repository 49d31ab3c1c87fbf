// Plays every puzzle the command line writes in a real Chromium, opened from disk the way a user
// who double-clicks index.html would: 7 sizes, with and without the solve button.
//
//   node puzzles.test.mjs --tilemaven PATH --fixture PATH [--chromium PATH]
//
// TILEMAVEN_KEEP=1 keeps the work folder for a look afterwards.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { copyFileSync, cpSync, mkdtempSync, readFileSync, rmSync, unlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { parseArgs, promisify } from 'node:util';

import { decodePng, decodePpm, meanAbsoluteError } from './pixels.mjs';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (error) {
  console.error(`playwright-core is not installed here (${error.code}): run make test-deps, ` +
    'which runs npm ci in tests/browser');
  process.exit(1);
}

const run = promisify(execFile);

const { values: options } = parseArgs({
  options: {
    tilemaven: { type: 'string' },
    fixture: { type: 'string' },
    chromium: { type: 'string', default: process.env.CHROMIUM ?? '/usr/bin/chromium' },
  },
});
if (!options.tilemaven || !options.fixture) {
  console.error('usage: node puzzles.test.mjs --tilemaven PATH --fixture PATH [--chromium PATH]');
  process.exit(2);
}

// Per piece, in levels of 0..255: two JPEG encodings (source and piece, the latter at the
// encoder's default quality) cost about 5 on this picture; a piece out of place costs over 40.
const kScreenshotTolerance = 15;
const kReloadTries = 40;
const kWait = { timeout: 5000 };

// The command line must not need a display: it runs with neither of these set.
function headlessEnv() {
  const env = { ...process.env };
  delete env.QT_QPA_PLATFORM;
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  return env;
}

async function makePuzzle(picture, folder, n, solve) {
  const args = ['--grid', String(n), ...(solve ? ['--solve-button'] : []), picture, folder];
  return run(options.tilemaven, args, { env: headlessEnv() });
}

let work;
let context;
let sizes; // grid size -> scramble order, from the program's own size table
let source; // the picture's lossless pixels

before(async () => {
  work = mkdtempSync(join(tmpdir(), 'tilemaven-browser-'));
  await run(options.fixture, ['picture', work]);
  source = decodePpm(readFileSync(join(work, 'picture.ppm')));
  const { stdout } = await run(options.fixture, ['table']);
  sizes = new Map(JSON.parse(stdout).sizes.map((row) => [row.n, row.order]));

  context = await chromium.launchPersistentContext(mkdtempSync(join(work, 'profile-')), {
    executablePath: options.chromium,
    headless: true,
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
    viewport: { width: 1000, height: 800 },
    deviceScaleFactor: 1,
  });
});

after(async () => {
  await context?.close();
  if (work && !process.env.TILEMAVEN_KEEP) rmSync(work, { recursive: true, force: true });
  else if (work) console.log(`kept ${work}`);
});

// The scramble order the page itself carries, on its line 27: var a="...".
function pageOrder(html) {
  const line = html.split('\r')[26];
  const match = /^var a="([0-9,]+)"$/.exec(line ?? '');
  assert.ok(match, `line 27 holds no scramble order: ${JSON.stringify(line)}`);
  return match[1].split(',').map(Number);
}

function pieceOf(src) {
  const match = /\/Image(\d+)\.jpg$/.exec(src);
  return match ? Number(match[1]) : `not a piece: ${src.split('/').pop()}`;
}

// What every cell shows, once all of them have finished loading (a missing file counts as
// finished: it is then broken, with no natural size).
async function cells(page) {
  await page.waitForFunction(() => Array.from(document.images).every((img) => img.complete), null, kWait);
  return page.evaluate(() =>
    Array.from(document.images).map((img) => ({
      src: img.src,
      width: img.naturalWidth,
      height: img.naturalHeight,
    })),
  );
}

async function shown(page) {
  return (await cells(page)).map((cell) => pieceOf(cell.src));
}

// The offset s that makes `pieces` the scramble order rotated by s, or -1.
function rotationOffset(pieces, order) {
  const count = order.length;
  for (let s = 0; s < count; ++s)
    if (pieces.every((piece, i) => piece === order[(s + i) % count])) return s;
  return -1;
}

// A cell's link runs its script in a task of its own after the click: wait until the click
// state has turned over before looking.
async function clickCell(page, k) {
  const state = await page.evaluate(() => cnt);
  await page.locator('img').nth(k).click();
  await page.waitForFunction((before) => cnt !== before, state, kWait);
}

function swapped(pieces, a, b) {
  const result = [...pieces];
  [result[a], result[b]] = [result[b], result[a]];
  return result;
}

// Every check of one written puzzle folder; throws on the first that fails.
async function checkPuzzle(folder, n, solve) {
  const count = n * n;
  const pw = Math.floor(source.width / n);
  const ph = Math.floor(source.height / n);
  const order = pageOrder(readFileSync(join(folder, 'index.html'), 'latin1'));
  assert.deepEqual(order, sizes.get(n), 'the page carries a scramble order other than the size table');
  assert.deepEqual([...order].sort((x, y) => x - y), [...Array(count).keys()], 'the scramble order is not a permutation');

  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(`script error: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error') errors.push(`console error: ${message.text()}`);
  });
  try {
    // Every cell shows a piece that loaded, each piece once, as a rotation of the scramble order.
    const loadScrambled = async () => {
      const found = await cells(page);
      assert.equal(found.length, count, 'number of images on the page');
      found.forEach((cell, i) =>
        assert.ok(cell.width === pw && cell.height === ph,
          `cell ${i} (${cell.src.split('/').pop()}) is ${cell.width}x${cell.height}, not ${pw}x${ph}`));
      const pieces = found.map((cell) => pieceOf(cell.src));
      const offset = rotationOffset(pieces, order);
      assert.notEqual(offset, -1, `the cells show ${pieces} , no rotation of the scramble order`);
      return { pieces, offset };
    };

    await page.goto(pathToFileURL(join(folder, 'index.html')).href);
    const first = await loadScrambled();
    assert.deepEqual(errors, [], 'errors while loading');

    const box = await page.locator('table').boundingBox();
    assert.deepEqual([box.width, box.height], [n * pw, n * ph], 'the table is not exactly the pieces, edge to edge');

    assert.equal(await page.locator('input[type=button]').count(), solve ? 1 : 0, 'number of buttons');
    assert.equal(await page.locator('form').count(), solve ? 1 : 0, 'number of forms');

    // A first click shows nothing; the second swaps exactly the two cells, in either direction.
    let pieces = first.pieces;
    for (const [a, b] of [[0, count - 1], [Math.floor(count / 2), 1]]) {
      await clickCell(page, a);
      assert.deepEqual(await shown(page), pieces, `a first click on cell ${a} changed the table`);
      await clickCell(page, b);
      pieces = swapped(pieces, a, b);
      assert.deepEqual(await shown(page), pieces, `clicks on cells ${a} and ${b} did not swap them`);
    }
    const same = n + 1;
    await clickCell(page, same);
    await clickCell(page, same);
    assert.deepEqual(await shown(page), pieces, `two clicks on cell ${same} changed the table`);

    if (solve) {
      // A first click made before solving stays pending: the next click after it completes it.
      const p = 2;
      const q = count - 2;
      await clickCell(page, p);
      const button = page.locator('input[type=button]');
      assert.equal(await button.getAttribute('value'), 'Solve It For Me');
      await button.click();
      const solved = [...Array(count).keys()];
      assert.deepEqual(await shown(page), solved, 'the button did not put every piece in place');

      // The solved table looks like the picture's used area.
      // The table may sit at a fractional height below the heading; its pictures are painted
      // snapped to whole pixels.
      const clip = { x: Math.round(box.x), y: Math.round(box.y), width: n * pw, height: n * ph };
      const shot = decodePng(await page.screenshot({ clip }));
      assert.deepEqual([shot.width, shot.height], [n * pw, n * ph], 'screenshot size');
      // Piece by piece, so that one piece out of place cannot hide in the average.
      let worst = { error: 0, k: -1 };
      for (let k = 0; k < count; ++k) {
        const area = { x: (k % n) * pw, y: Math.floor(k / n) * ph, width: pw, height: ph };
        const error = meanAbsoluteError(shot, source, area);
        if (error > worst.error) worst = { error, k };
      }
      console.log(`# ${n}x${n} solved: worst piece ${worst.k} off by ${worst.error.toFixed(2)} per channel`);
      assert.ok(worst.error < kScreenshotTolerance,
        `the solved table differs from the picture at cell ${worst.k} by ${worst.error.toFixed(2)} per channel`);

      await clickCell(page, q);
      const expected = [...solved];
      expected[q] = pieces[p]; // what cell p showed at the first click, before solving
      expected[p] = q;
      assert.deepEqual(await shown(page), expected, 'the click pending before solving was lost');
    }

    // Reloading starts again from a fresh random rotation.
    let offset = first.offset;
    for (let tries = 0; tries < kReloadTries && offset === first.offset; ++tries) {
      await page.reload();
      ({ offset } = await loadScrambled());
    }
    assert.notEqual(offset, first.offset, `${kReloadTries} reloads all showed rotation ${first.offset}`);
    assert.deepEqual(errors, [], 'errors while playing');
  } finally {
    await page.close();
  }
}

describe('every written puzzle plays', () => {
  for (let n = 3; n <= 9; ++n) {
    for (const solve of [false, true]) {
      test(`${n}x${n}${solve ? ' with the solve button' : ''}`, async () => {
        assert.ok(source.width % n !== 0 && source.height % n !== 0, 'the picture must not divide evenly');
        const folder = join(work, `puzzle-${n}${solve ? '-solve' : ''}`, 'new folder');
        const { stdout } = await makePuzzle(join(work, 'picture.jpg'), folder, n, solve);
        const pw = Math.floor(source.width / n);
        const ph = Math.floor(source.height / n);
        assert.equal(stdout, `wrote ${n * n} pieces of ${pw}x${ph}, white.jpg and index.html to ${folder}\n`);
        await checkPuzzle(folder, n, solve);
      });
    }
  }
});

// The checks above must be able to fail: broken copies of a good puzzle are caught.
describe('a broken puzzle is caught', () => {
  let good;
  before(async () => {
    good = join(work, 'good');
    await makePuzzle(join(work, 'picture.jpg'), good, 4, true);
  });

  function brokenCopy(name, breakIt) {
    const folder = join(work, name);
    cpSync(good, folder, { recursive: true });
    breakIt(folder);
    return folder;
  }

  test('a missing piece file', async () => {
    const folder = brokenCopy('missing-piece', (dir) => unlinkSync(join(dir, 'Image5.jpg')));
    await assert.rejects(checkPuzzle(folder, 4, true), /is 0x0, not|errors while loading/);
  });

  test('a piece file holding another piece', async () => {
    const folder = brokenCopy('wrong-piece', (dir) => copyFileSync(join(dir, 'Image6.jpg'), join(dir, 'Image9.jpg')));
    await assert.rejects(checkPuzzle(folder, 4, true), /differs from the picture/);
  });

  test('a click that does not swap', async () => {
    const folder = brokenCopy('no-swap', (dir) => {
      const page = join(dir, 'index.html');
      const html = readFileSync(page, 'latin1');
      const broken = html.replace('document.images[imgpos].src=im', 'document.images[imgpos].src=imgres');
      assert.notEqual(broken, html);
      writeFileSync(page, broken, 'latin1');
    });
    await assert.rejects(checkPuzzle(folder, 4, true), /did not swap them/);
  });
});
