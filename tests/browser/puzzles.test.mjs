// SPDX-License-Identifier: MIT
// Plays every puzzle the command line writes in one browser engine, opened from disk the way a
// user who double-clicks index.html would: 7 sizes, with and without the solve button. The checks
// are the same for every engine; engines.mjs holds the thin driver of each.
//
//   node puzzles.test.mjs --engine chromium|firefox|webkit|phone --tilemaven PATH --fixture PATH
//
// TILEMAVEN_KEEP=1 keeps the work folder for a look afterwards.

import assert from 'node:assert/strict';
import { copyFileSync, cpSync, readFileSync, unlinkSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { headlessEnv, readOptions, run, setUp, until } from './harness.mjs';
import { decodePng, placedError } from './pixels.mjs';

const options = readOptions('puzzles.test.mjs');

// Per piece, in levels of 0..255: two JPEG encodings (source and piece, the latter at the
// encoder's default quality) and a phone's resampling cost under 6 on this picture; a piece out of
// place costs over 40.
const kPixelTolerance = 15;
// WebKitGTK now and then paints a changed picture a little late.
const kRepaintWait = 2000;
const kReloadTries = 40;

async function makePuzzle(picture, folder, n, solve) {
  const args = ['--grid', String(n), ...(solve ? ['--solve-button'] : []), picture, folder];
  return run(options.tilemaven, args, { env: headlessEnv() });
}

let work;
let engine;
let sizes; // grid size -> scramble order, from the program's own size table
let source; // the picture's lossless pixels
let close;

before(async () => {
  let pictures;
  ({ work, pictures, sizes, engine, close } = await setUp(options, 'classic', ['picture']));
  source = pictures.picture;
});

after(async () => close?.());

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
  await until('every image has loaded', () =>
    page.evaluate(() => Array.from(document.images).every((img) => img.complete)));
  return page.evaluate(() =>
    Array.from(document.images, (img) => ({ src: img.src, width: img.naturalWidth, height: img.naturalHeight })));
}

async function shown(page) {
  return (await cells(page)).map((cell) => pieceOf(cell.src));
}

// Where the table and each image stand, and how the visible part of the page maps to the
// screenshot (a phone shows a zoomed-out page).
function geometry() {
  const place = (element) => {
    const box = element.getBoundingClientRect();
    return { x: box.x, y: box.y, width: box.width, height: box.height };
  };
  const view = window.visualViewport;
  return {
    table: place(document.querySelector('table')),
    cells: Array.from(document.images, place),
    view: { x: view.offsetLeft, y: view.offsetTop, width: view.width },
  };
}

// The offset s that makes `pieces` the scramble order rotated by s, or -1.
function rotationOffset(pieces, order) {
  const count = order.length;
  for (let s = 0; s < count; ++s)
    if (pieces.every((piece, i) => piece === order[(s + i) % count])) return s;
  return -1;
}

function swapped(pieces, a, b) {
  const result = [...pieces];
  [result[a], result[b]] = [result[b], result[a]];
  return result;
}

// A cell's link runs its script in a task of its own after the click, so the test counts the
// page's calls of doit() to know when a click has been played out.
function countPlays() {
  const play = window.doit;
  window.tilemavenPlays = 0;
  window.doit = function (...args) {
    window.tilemavenPlays += 1;
    return play.apply(this, args);
  };
}

const plays = (page) => page.evaluate(() => window.tilemavenPlays);

async function press(page, k, times = 1) {
  const before = await plays(page);
  if (times === 2) await page.doubleTap(k);
  else await page.click(k);
  await until(`cell ${k} has been played ${times} time(s)`, async () => (await plays(page)) >= before + times);
  assert.equal(await plays(page), before + times, `pressing cell ${k} played it more often than pressed`);
}

// Every check of one written puzzle folder in the engine's page; throws on the first that fails.
async function checkPuzzle(page, folder, n, solve) {
  const count = n * n;
  const pw = Math.floor(source.width / n);
  const ph = Math.floor(source.height / n);
  const order = sizes.get(n);
  const noErrors = async (when) => assert.deepEqual(await page.errors(), [], `script errors while ${when}`);

  // Piece by piece, so that one piece out of place cannot hide in the average.
  const pixelsShow = async (pieces, what) => {
    const { cells: boxes, view } = await page.evaluate(geometry);
    let worst;
    const deadline = Date.now() + kRepaintWait;
    do {
      const shot = decodePng(await page.screenshot());
      const scale = shot.width / view.width;
      worst = { error: -1 };
      pieces.forEach((p, k) => {
        const area = { x: (p % n) * pw, y: Math.floor(p / n) * ph, width: pw, height: ph };
        const at = { x: boxes[k].x - view.x, y: boxes[k].y - view.y };
        const error = placedError(shot, at, scale, source, area);
        if (error > worst.error) worst = { error, k, p };
      });
    } while (worst.error >= kPixelTolerance && Date.now() < deadline);
    if (what === 'solved') console.log(`# ${n}x${n} solved: worst cell ${worst.k} off by ${worst.error.toFixed(2)} per channel`);
    assert.ok(worst.error < kPixelTolerance,
      `${what}: cell ${worst.k} shows something else than piece ${worst.p} ` +
      `(off by ${worst.error.toFixed(1)} per channel)`);
  };

  // Every cell shows a piece that loaded, each piece once, as a rotation of the scramble order.
  const load = async () => {
    await page.open(pathToFileURL(join(folder, 'index.html')).href);
    const found = await cells(page);
    assert.equal(found.length, count, 'number of images on the page');
    found.forEach((cell, i) =>
      assert.ok(cell.width === pw && cell.height === ph,
        `cell ${i} (${cell.src.split('/').pop()}) is ${cell.width}x${cell.height}, not ${pw}x${ph}`));
    const pieces = found.map((cell) => pieceOf(cell.src));
    const seen = new Map();
    pieces.forEach((p, i) => {
      assert.ok(Number.isInteger(p) && p >= 0 && p < count, `cell ${i} shows ${p}`);
      assert.ok(!seen.has(p), `piece ${p} shows in cells ${seen.get(p)} and ${i}`);
      seen.set(p, i);
    });
    const offset = rotationOffset(pieces, order);
    assert.notEqual(offset, -1, `the cells show ${pieces} , no rotation of the scramble order`);
    await page.evaluate(countPlays);
    return { pieces, offset };
  };

  const first = await load();
  await noErrors('loading');

  // The rows stand edge to edge: no gap between them, nor between the cells of a row.
  const { table, cells: boxes } = await page.evaluate(geometry);
  boxes.forEach((box, k) => {
    const want = { x: (k % n) * pw, y: Math.floor(k / n) * ph };
    const got = { x: box.x - table.x, y: box.y - table.y };
    assert.ok(Math.abs(got.y - want.y) < 0.5,
      `row ${Math.floor(k / n)} stands ${got.y - want.y} pixels off its place (cell ${k}): a gap between the rows`);
    assert.ok(Math.abs(got.x - want.x) < 0.5, `cell ${k} stands ${got.x - want.x} pixels off its place in its row`);
  });
  assert.deepEqual([table.width, table.height], [n * pw, n * ph], 'the table is not exactly the pieces, edge to edge');

  const controls = await page.evaluate(() => [
    document.querySelectorAll('input[type=button]').length,
    document.forms.length,
    document.querySelector('input[type=button]')?.value ?? null,
  ]);
  assert.deepEqual(controls, solve ? [1, 1, 'Solve It For Me'] : [0, 0, null], 'buttons, forms, label');

  let pieces = first.pieces;
  await pixelsShow(pieces, 'on load');

  // A first click shows nothing; the second swaps exactly the two cells, in either direction.
  for (const [a, b] of [[0, count - 1], [Math.floor(count / 2), 1]]) {
    await press(page, a);
    assert.deepEqual(await shown(page), pieces, `a first click on cell ${a} changed the table`);
    await press(page, b);
    pieces = swapped(pieces, a, b);
    assert.deepEqual(await shown(page), pieces, `clicks on cells ${a} and ${b} did not swap them`);
    await pixelsShow(pieces, `after swapping cells ${a} and ${b}`);
  }
  const same = n + 1;
  await press(page, same);
  await press(page, same);
  assert.deepEqual(await shown(page), pieces, `two clicks on cell ${same} changed the table`);

  if (engine.touch) {
    // Both taps of a quick double tap reach the page (no zoom takes them), and undo each other.
    await press(page, same, 2);
    assert.deepEqual(await shown(page), pieces, `a double tap on cell ${same} changed the table`);
    await pixelsShow(pieces, `after a double tap on cell ${same}`);
  }

  if (solve) {
    // A first click made before solving stays pending: the next click after it completes it.
    const p = 2;
    const q = count - 2;
    await press(page, p);
    await page.clickButton();
    // The button's handler runs in the click, but a tap may reach the page a little later.
    const solved = [...Array(count).keys()];
    const inPlace = async () => (await shown(page)).every((piece, k) => piece === k);
    await until('the button has put every piece in place', inPlace).catch(() => {});
    assert.deepEqual(await shown(page), solved, 'the button did not put every piece in place');
    await pixelsShow(solved, 'solved');

    await press(page, q);
    const expected = [...solved];
    expected[q] = pieces[p]; // what cell p showed at the first click, before solving
    expected[p] = q;
    assert.deepEqual(await shown(page), expected, 'the click pending before solving was lost');
  }
  await noErrors('playing');

  // Reloading starts again from a fresh random rotation.
  let offset = first.offset;
  for (let tries = 0; tries < kReloadTries && offset === first.offset; ++tries) ({ offset } = await load());
  assert.notEqual(offset, first.offset, `${kReloadTries} reloads all showed rotation ${first.offset}`);
  await noErrors('reloading');
}

async function inPage(check) {
  const page = await engine.newPage();
  try {
    await check(page);
  } finally {
    await page.close();
  }
}

describe(`every written puzzle plays in ${options.engine}`, () => {
  for (let n = 3; n <= 9; ++n) {
    for (const solve of [false, true]) {
      test(`${n}x${n}${solve ? ' with the solve button' : ''}`, async () => {
        assert.ok(source.width % n !== 0 && source.height % n !== 0, 'the picture must not divide evenly');
        const folder = join(work, `puzzle-${n}${solve ? '-solve' : ''}`, 'new folder');
        const { stdout } = await makePuzzle(join(work, 'picture.jpg'), folder, n, solve);
        const pw = Math.floor(source.width / n);
        const ph = Math.floor(source.height / n);
        assert.equal(stdout, `wrote ${n * n} pieces of ${pw}x${ph}, white.jpg and index.html to ${folder}\n`);
        assert.deepEqual(pageOrder(readFileSync(join(folder, 'index.html'), 'latin1')), sizes.get(n),
          'the page carries a scramble order other than the size table');
        await inPage((page) => checkPuzzle(page, folder, n, solve));
      });
    }
  }
});

// The checks above must be able to fail: broken copies of a good puzzle are caught, each by the
// check meant for it.
describe(`a broken puzzle is caught in ${options.engine}`, () => {
  let good;
  before(async () => {
    good = join(work, 'good');
    await makePuzzle(join(work, 'picture.jpg'), good, 4, true);
  });

  function editPage(dir, from, to) {
    const page = join(dir, 'index.html');
    const html = readFileSync(page, 'latin1');
    const broken = html.replace(from, to);
    assert.notEqual(broken, html, `the page holds no ${JSON.stringify(from)} to break`);
    writeFileSync(page, broken, 'latin1');
  }

  const broken = [
    ['a missing piece file', /is 0x0, not|script errors while loading/,
      (dir) => unlinkSync(join(dir, 'Image5.jpg'))],
    ['a piece file holding another piece', /on load: cell \d+ shows something else than piece 9/,
      (dir) => copyFileSync(join(dir, 'Image6.jpg'), join(dir, 'Image9.jpg'))],
    ['a swap that moves one piece only', /did not swap them/,
      (dir) => editPage(dir, 'document.images[imgpos].src=im', 'document.images[imgpos].src=imgres')],
    ['a piece twice in the scramble order', /piece \d+ shows in cells \d+ and \d+/,
      (dir) => editPage(dir, /var a="(\d+),(\d+),/, 'var a="$1,$1,')],
    ['a script error while loading', /script errors while loading/,
      (dir) => editPage(dir, '\r}\r\r}\r\rfunction doit', '\r}\rcheck.lost.here=1\r}\r\rfunction doit')],
    ['a script error on a click', /script errors while playing/,
      (dir) => editPage(dir, "cnt='1'\r}", "cnt='1'\rcheck.lost.here=1\r}")],
    ['a DOCTYPE, which opens gaps between the rows', /a gap between the rows/,
      (dir) => editPage(dir, '<HTML>', '<!DOCTYPE html>\r<HTML>')],
  ];
  for (const [name, caught, breakIt] of broken) {
    test(name, async () => {
      const folder = join(work, name.replaceAll(/\W+/g, '-'));
      cpSync(good, folder, { recursive: true });
      breakIt(folder);
      await inPage((page) => assert.rejects(checkPuzzle(page, folder, 4, true), caught));
    });
  }
});
